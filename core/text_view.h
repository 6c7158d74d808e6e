// Showing a text member, and the preview of a chosen replacement text.
//
// Both read at most 32,000 bytes and stop at the first zero byte, so the pane
// never holds more than that. Bytes are 8-bit text; the window decides how to
// show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive_ops.h"
#include "catalogue.h"
#include "file_access.h"
#include "report_sink.h"

namespace qax {

inline constexpr std::size_t kTextViewLimit = 32000;

// Cuts `bytes` at its first zero byte.
std::string TextUpToFirstZero(std::string bytes);

// Reads the member that the selected Txt catalogue line describes and puts
// it in the pane. The line is read back first, so a damaged line raises
// ConversionError before anything else happens. Under the data set's shared
// lock the index must still give that very line at its place (Stale, after
// the same message Replace and Extract give, when another program rewrote
// the data set since it was listed). An archive that cannot be opened or
// read, or a member that runs past its end, is reported in a message box
// and nothing that is not in the archive is ever shown.
ArchiveOutcome ShowTextMember(const ArchiveContext& context, const ListedLine& selected);

// All the bytes of the member of `group` (Txt or Shp) that a catalogue
// entry describes, zero bytes included, read from its archive under the
// data set's shared lock: the 32,000-byte limit is the pane's, not the
// member's. Nothing when the member cannot be read whole; a message then
// says why.
std::optional<std::string> ReadWholeMember(FileSystem& fs, const DataSetPaths& paths, int group,
                                           const CatalogueEntry& member, ReportSink& sink);

// The first 32,000 bytes of a chosen replacement file, cut at a zero byte;
// empty when the file cannot be opened or read, or is no regular file (a
// pipe is never waited on): the choice is then passed over in silence.
std::optional<std::string> ReadTextPreview(FileSystem& fs, const std::string& path);

}  // namespace qax
