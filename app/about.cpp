// (being written)
#include "about.h"

Taboutbox::Taboutbox(QWidget* owner) : QDialog(owner) {}
