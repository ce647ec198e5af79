// What the diagnostic log needs of the platform: the local time, and a file that several writers
// append to while others read it, its lines ending in CR LF on every platform so that one log
// reads the same wherever it was written. win32/DiagnosticLogWin32.cpp and
// posix/DiagnosticLogPosix.cpp supply it.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace ZintarUtil::DiagnosticLogPlatform {

std::tm LocalTimeNow();

// Opens `name` for appending while other writers and readers keep it open too; null when it
// cannot be opened.
std::FILE* OpenShared(const std::string& name);

// `entry`, whose lines end in "\n", as it is written to a stream from OpenShared so that the file
// holds CR LF.
std::string WithFileLineEnds(const std::string& entry);

}  // namespace ZintarUtil::DiagnosticLogPlatform
