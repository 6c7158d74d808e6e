// How the core's 8-bit strings become Qt text and back.
//
// Member text and catalogue lines are bytes: they are shown as Latin-1, which
// maps every byte to exactly one character, so nothing is dropped or turned
// into a replacement character and reading the text back gives the bytes.
// Paths are in the file system's encoding (UTF-8 on Windows).
#pragma once

#include <QString>
#include <string>

namespace qax::ui {

QString FromBytes(const std::string& bytes);
std::string ToBytes(const QString& text);

// For texts the editor composes (message boxes, the start-up texts of the
// pane), which mix paths with bytes of the data set: UTF-8 when the text is
// valid UTF-8, otherwise Latin-1.
QString ForDisplay(const std::string& text);

// A Qt path as the file system spells it.
std::string NativePath(const QString& path);

}  // namespace qax::ui
