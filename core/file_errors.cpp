#include "file_errors.h"

namespace qax {

void FileErrorReport(ReportSink& sink, const std::string& path) {
    sink.ShowMessage("Could not open " + path + "\n", kFileErrorCaption);
}

void FileErrorReport(ReportSink& sink, const IoError& error) {
    if (error.Step() == IoStep::Open) {
        FileErrorReport(sink, error.Path());
        return;
    }
    sink.ShowMessage(std::string("Could not ") + IoStepName(error.Step()) + " " + error.Path() + "\n(" +
                         error.Reason().message() + ")",
                     kFileErrorCaption);
}

}  // namespace qax
