// How the core tells the user that a file could not be used.
#pragma once

#include <string>

#include "file_access.h"
#include "report_sink.h"

namespace qax {

inline constexpr const char* kFileErrorCaption = "File Error";
// For what goes wrong after a replacement took effect: the member is replaced.
inline constexpr const char* kReplacedWithWarningCaption = "Replaced, with a Warning";

// "Could not open <path>\n" in a box captioned "File Error" with one OK button.
void FileErrorReport(ReportSink& sink, const std::string& path);

// Any failed file step: an open is reported exactly as above; a read, write,
// flush or other step names the step, the file and the system's reason.
void FileErrorReport(ReportSink& sink, const IoError& error);

// The text FileErrorReport shows for `error`, for callers that must add what
// happened next (for example that an archive was restored).
std::string FileErrorText(const IoError& error);

}  // namespace qax
