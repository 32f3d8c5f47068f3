#include "datasrc.h"

Tdsrc* dsrc = nullptr;

Tdsrc::Tdsrc() : dgrp("dgrp"), daccess("daccess") {
    // Not connected until the first refresh of the card list.
    adosrc.SetLoginPrompt(false);
    dgrp.SetConnection(&adosrc);
    dgrp.SQLAdd("select distinct grp from cardlist");
    daccess.SetConnection(&adosrc);
    daccess.SQLAdd("select cardno from cardlist where granted=true");
}
