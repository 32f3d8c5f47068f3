// The read-only Jet back end: Jet 4 files (card batches on the card CD-ROM,
// card lists of the earlier Windows installations) read through the helper
// process of jetsource.h. Every statement's rows are read-only.
#pragma once

#include <memory>
#include <string>

#include "backend.h"

// Checks the file's header and password at once; raises EDatabaseError.
std::unique_ptr<TBackEnd> OpenJetFile(const std::string& path, const std::string& password);
