// The admission test of the write queue: which messages the service keeps.
#pragma once

#include "Server/ServiceSettings.h"
#include "util/LogFileFormat.h"

namespace ZintarServer {

// 1. The type's flag must be set; types of 4 and above have no flag and are refused, and so is a
//    message whose text or auxText has no NUL within its 257 bytes.
// 2. With include filters, the text must match one of them (exclude filters are then ignored).
// 3. Otherwise, with exclude filters, a text that matches one of them is refused.
// The text is read up to its NUL, and never past its 257 bytes when it has none.
bool Admits(const ServiceSettings& settings, const ZintarUtil::LogMessage& message);

}  // namespace ZintarServer
