// The diagnostic log: a plain text file of time-stamped entries written wherever something goes
// wrong that nobody can be told directly. Writing an entry never fails towards the caller.
#pragma once

#include <ctime>
#include <string>

namespace ZintarUtil {

// Names the file entries are appended to; while the name is empty, entries are discarded.
// Called once at start, before any other thread exists.
void SetLogFile(const std::string& name);

// The log's size limit: past it, the file becomes the one older copy, "<name>.old", and a new
// file begins. About ten thousand entries; the two files together stay below 2 MiB, which matters
// for a file that lives in the system folder.
constexpr unsigned long kLogRotationBytes = 1024 * 1024;

// Appends one entry: the local time in the asctime form on a line of its own, then " - " and the
// text. The file is opened for each entry, shared, and closed again; lines end in CR LF. An entry
// whose text repeats is written at most once a second; the next one written says how many were
// left out. Safe from any thread.
void WriteLog(const std::string& text);

// The name of the older copy that the log rotates into.
std::string OlderLogFileName(const std::string& name);

// "Www Mmm DD hh:mm:ss YYYY" in English whatever the locale, day with a leading zero.
std::string FormatAsctime(const std::tm& time);

// The entry as it is written, with "\n" line ends (stored as CR LF).
std::string ComposeLogEntry(const std::tm& localTime, const std::string& text);

}  // namespace ZintarUtil
