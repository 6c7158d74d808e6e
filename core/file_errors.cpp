#include "file_errors.h"

namespace qax {

void FileErrorReport(ReportSink& sink, const std::string& path) {
    sink.ShowMessage("Could not open " + path + "\n", kFileErrorCaption);
}

std::string FileErrorText(const IoError& error) {
    if (error.Step() == IoStep::Open) return "Could not open " + error.Path() + "\n";
    return std::string("Could not ") + IoStepName(error.Step()) + " " + error.Path() + "\n(" +
           error.Reason().message() + ")";
}

void FileErrorReport(ReportSink& sink, const IoError& error) {
    sink.ShowMessage(FileErrorText(error), kFileErrorCaption);
}

}  // namespace qax
