// The archive operations of the window: replacing the selected member with
// the chosen file, and extracting the selected Shp member.
#include "main_form.h"

namespace qax::ui {

void TMainForm::ReplaceBtnClick() {
    // The replacement operations are wired in here by the archive work.
}

void TMainForm::ExtractBtnClick() {
    // The extraction is wired in here by the archive work.
}

}  // namespace qax::ui
