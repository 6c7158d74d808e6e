#include "mod_undo.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "catalogue.h"
#include "data_set.h"
#include "rebuild_record.h"

namespace qax {

namespace {

const char* TypeWord(int group) {
    return group == Txt ? "txt" : "shp";
}

// A manifest's fields are split at blanks, and a line ends at a newline.
bool FitsAManifestLine(std::string_view name) {
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) == 0x7f;
    });
}

// The directory as a path without a separator at its end: "undo/" and
// "undo" are one directory, and its parent is the one above both.
std::filesystem::path DirectoryPath(const std::string& directory) {
    std::filesystem::path path = PathFromUtf8(directory);
    while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    return path;
}

constexpr std::size_t kUndoBufferSize = std::size_t{1} << 20;

}  // namespace

std::string UndoFileName(std::size_t number, int group, std::string_view memberName) {
    std::string file = std::to_string(number) + "-" + TypeWord(group) + "-";
    for (const char c : memberName) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
        if (plain) {
            file += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned>(byte));
            file += escaped;
        }
    }
    return file + "." + TypeWord(group);
}

std::string GuardLine(int group, std::string_view memberName, std::uint64_t size, std::uint32_t crc32) {
    char checksum[9];
    std::snprintf(checksum, sizeof checksum, "%08x", static_cast<unsigned>(crc32));
    return std::string("guard ") + TypeWord(group) + " " + std::string(memberName) + " " + std::to_string(size) + " " +
           checksum;
}

std::optional<std::uint32_t> MemberCrc32(File& file, std::uint64_t offset, std::uint64_t size,
                                         std::span<unsigned char> buffer) {
    file.Seek(offset);
    uLong crc = crc32_z(0, nullptr, 0);
    for (std::uint64_t left = size; left > 0;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const std::size_t got = file.Read(buffer.data(), want);
        if (got == 0) return std::nullopt;
        crc = crc32_z(crc, buffer.data(), got);
        left -= got;
    }
    return static_cast<std::uint32_t>(crc);
}

std::string GuardsRefusal(FileSystem& fs, const DataSetPaths& paths, const std::vector<MemberGuard>& guards,
                          const std::vector<GroupReplacements>& batches) {
    return GuardsRefusalText(FailedGuards(fs, paths, guards, batches));
}

std::vector<GuardFailure> FailedGuards(FileSystem& fs, const DataSetPaths& paths,
                                       const std::vector<MemberGuard>& guards,
                                       const std::vector<GroupReplacements>& batches) {
    std::map<int, std::unique_ptr<File>> archives;
    std::vector<unsigned char> buffer(kUndoBufferSize);
    const auto memberCrc = [&](int group, const CatalogueEntry& entry) {
        std::unique_ptr<File>& archive = archives[group];
        if (archive == nullptr) archive = fs.Open(ArchivePathOf(paths, group), OpenMode::Read);
        return MemberCrc32(*archive, entry.offset, static_cast<std::uint64_t>(entry.size), buffer);
    };
    // Each replaced member's file, found by its group and line: an undo of
    // thousands of members applied twice fails every guard.
    std::map<std::pair<int, int>, const std::string*> replacementOf;
    for (const GroupReplacements& batch : batches)
        for (const MemberReplacement& replacement : batch.replacements)
            replacementOf[{batch.group, replacement.selected.number}] = &replacement.replacementFileName;
    // Whether the member holds the very bytes the manifest would put there.
    const auto holdsItsReplacement = [&](const MemberGuard& guard, const CatalogueEntry& entry) {
        const auto found = replacementOf.find({guard.group, guard.selected.number});
        if (found == replacementOf.end()) return false;
        auto file = fs.Open(*found->second, OpenMode::ReadRegular);
        if (file->Length() != static_cast<std::uint64_t>(entry.size)) return false;
        const auto incoming = MemberCrc32(*file, 0, file->Length(), buffer);
        return incoming && incoming == memberCrc(guard.group, entry);
    };
    std::vector<GuardFailure> failures;
    for (const MemberGuard& guard : guards) {
        const CatalogueEntry entry = ReadCatalogueLine(guard.selected.text);
        // What the member holds is read whatever its size: a refusal tells
        // what was found as well as what was expected.
        const std::optional<std::uint32_t> crc =
            entry.size >= 0 ? memberCrc(guard.group, entry) : std::optional<std::uint32_t>();
        if (entry.size >= 0 && static_cast<std::uint64_t>(entry.size) == guard.size && crc && *crc == guard.crc32)
            continue;
        failures.push_back({.group = guard.group,
                            .name = entry.name,
                            .expectedSize = guard.size,
                            .expectedCrc32 = guard.crc32,
                            .foundSize = entry.size,
                            .foundCrc32 = crc,
                            .appliedBefore = entry.size >= 0 && holdsItsReplacement(guard, entry)});
    }
    return failures;
}

std::string GuardsRefusalText(const std::vector<GuardFailure>& failures) {
    std::string changed;
    bool laterChange = false;
    bool appliedBefore = false;
    for (const GuardFailure& failure : failures) {
        if (failure.appliedBefore) {
            changed += failure.name + " holds already what this manifest puts there\n";
            appliedBefore = true;
        } else {
            changed += failure.name + " holds what another change wrote after this mod\n";
            laterChange = true;
        }
    }
    if (changed.empty()) return {};
    // Each case has its own way on: a later change comes off first; a
    // manifest applied already has nothing left to do.
    if (laterChange)
        changed +=
            "A guarded manifest (an undo) goes ahead only while each member it guards holds what its mod wrote, so "
            "that it never takes off a later change: take that change off first.\n";
    if (appliedBefore)
        changed += std::string(laterChange ? "A member that holds already what this manifest puts there "
                                             "needs nothing from it"
                                           : "So the data set is already as this manifest leaves it: it has "
                                             "been applied already, or it is the undo of a mod that never took "
                                             "effect (an apply --undo that died or was stopped before its mod took "
                                             "effect leaves such an undo). Either way there is nothing left for it "
                                             "to do") +
                   ": to go back, apply the undo written when it was applied (with --undo), if one was.\n";
    return changed + "Nothing was changed.";
}

std::string UndoDirectoryProblem(Directory& directory) {
    const FileFacts facts = directory.Facts();
    if (!facts.ownedByProcess)
        return "The undo directory " + directory.Path() +
               " belongs to another user, who could change what is in it: an undo must be what the mod left, so "
               "it goes only into, and is applied only from, a directory of your own that nobody else may write. "
               "Name a new directory (apply makes it so).";
    if (facts.othersMayWrite)
        return "Users other than its owner may write the undo directory " + directory.Path() +
               ", and so change what is in it: an undo must be what the mod left, so it goes only into, and is "
               "applied only from, a directory nobody else may write. If it is yours and nobody else has written "
               "in it, let only yourself write it (chmod go-w " +
               directory.Path() + "), or name a new directory (apply makes it so).";
    return {};
}

namespace {

// The number, type and member name of an undo's member file, from its name
// (UndoFileName): nothing when the name is no such file's.
struct UndoFileNameParts {
    int group = Txt;
    std::string memberName;
};

std::optional<UndoFileNameParts> ReadUndoFileName(const std::string& file) {
    const std::size_t dash = file.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9) return std::nullopt;
    const std::string number = file.substr(0, dash);
    if (number[0] == '0' || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    for (const int group : {Txt, Shp}) {
        const std::string type = TypeWord(group);
        const std::string head = type + "-";
        const std::string tail = "." + type;
        if (file.compare(dash + 1, head.size(), head) != 0 || !file.ends_with(tail)) continue;
        const std::size_t from = dash + 1 + head.size();
        if (file.size() < from + tail.size()) return std::nullopt;
        const std::string escaped = file.substr(from, file.size() - from - tail.size());
        std::string name;
        for (std::size_t at = 0; at < escaped.size(); ++at) {
            if (escaped[at] != '%') {
                name += escaped[at];
                continue;
            }
            const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
            if (at + 2 >= escaped.size() || !hex(escaped[at + 1]) || !hex(escaped[at + 2])) return std::nullopt;
            name += static_cast<char>(std::stoi(escaped.substr(at + 1, 2), nullptr, 16));
            at += 2;
        }
        // Only the spelling this program writes: one name, one file name.
        if (name.empty() || UndoFileName(std::stoul(number), group, name) != file) return std::nullopt;
        return UndoFileNameParts{group, name};
    }
    return std::nullopt;
}

// Whether `file` holds the bytes of the member at `entry` in `archive` (all
// of them, or with `firstBytes` at least the first of them).
bool HoldsMemberBytes(File& file, File& archive, const CatalogueEntry& entry, bool firstBytes,
                      std::span<unsigned char> buffer) {
    const std::uint64_t length = file.Length();
    const auto size = static_cast<std::uint64_t>(entry.size);
    if (entry.size < 0 || length > size || (!firstBytes && length != size)) return false;
    const std::size_t half = buffer.size() / 2;
    file.Seek(0);
    archive.Seek(entry.offset);
    for (std::uint64_t left = length; left > 0;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, half));
        if (!ReadExactly(file, buffer.data(), want) || !ReadExactly(archive, buffer.data() + half, want) ||
            !std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(want),
                        buffer.begin() + static_cast<std::ptrdiff_t>(half)))
            return false;
        left -= want;
    }
    return true;
}

// The whole of a small file through its handle; nothing past `limit` bytes.
std::optional<std::string> ReadSmallFile(File& file, std::uint64_t limit) {
    const std::uint64_t length = file.Length();
    if (length > limit) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    file.Seek(0);
    if (!bytes.empty() && !ReadExactly(file, bytes.data(), bytes.size())) return std::nullopt;
    return bytes;
}

// Far above any undo's manifest: a line per member and a guard per member.
constexpr std::uint64_t kLargestUndoManifest = std::uint64_t{64} << 20;

}  // namespace

std::string UndoWriter::Refusal(const ArchiveContext& context) {
    const char* const kNothingChanged = "\nNothing was changed.";
    for (const UndoMember& member : members_)
        if (!FitsAManifestLine(member.name))
            return "The member \"" + member.name +
                   "\" has a blank or a control character in its name, which a manifest line cannot hold, so no "
                   "undo can be written for this mod." +
                   kNothingChanged;
    const std::filesystem::path path = PathFromUtf8(directory_);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        if (!std::filesystem::is_directory(parent, ec))
            return "The undo directory " + directory_ + " cannot be made: " + Utf8Of(parent) + " is no directory." +
                   kNothingChanged;
        return {};
    }
    if (!std::filesystem::is_directory(status))
        return directory_ + " is not a directory. An undo goes into a new or empty directory." + kNothingChanged;
    std::vector<std::string> names;
    try {
        held_ = fs_.OpenDirectory(directory_);
        if (std::string problem = UndoDirectoryProblem(*held_); !problem.empty()) {
            held_.reset();
            return problem + kNothingChanged;
        }
        names = held_->EntryNames();
    } catch (const IoError& error) {
        held_.reset();
        return "The undo directory " + directory_ + " cannot be used: " + error.what() + "." + kNothingChanged;
    }
    if (names.empty()) return {};
    if (std::string refusal = LeftoverRefusal(context, names); !refusal.empty()) {
        held_.reset();
        leftovers_.clear();
        return refusal + kNothingChanged;
    }
    return {};
}

// Each name judged through the held directory: the shape of a dead
// undo's files, each this user's own, and together nothing the data set
// does not hold.
std::string UndoWriter::LeftoverRefusal(const ArchiveContext& context, const std::vector<std::string>& names) {
    const std::string notEmpty =
        "The undo directory " + directory_ +
        " is not empty. An undo goes into a new or empty directory, so that what is in it is the undo and nothing "
        "else";
    const std::string partialManifest = std::string(kUndoManifestName) + ".new";
    const bool complete = std::find(names.begin(), names.end(), kUndoManifestName) != names.end();
    std::map<int, std::vector<CatalogueEntry>> catalogues;
    std::map<int, std::unique_ptr<File>> archives;
    std::vector<unsigned char> buffer(kUndoBufferSize);
    const std::string heading = kUndoManifestHeading;
    std::vector<Made> found;
    std::size_t memberFiles = 0;
    try {
        for (const std::string& name : names) {
            const bool manifest = name == kUndoManifestName || name == partialManifest;
            const std::optional<UndoFileNameParts> parts = manifest ? std::nullopt : ReadUndoFileName(name);
            if (!manifest && !parts) return notEmpty + " (" + held_->PathOf(name) + " is no file of an undo).";
            auto file = held_->OpenEntry(name, EntryAccess::Read);
            const FileFacts facts = file->Facts();
            if (const Unproved unproved = CheckClaim(facts, Claim::MadeByThisUser); unproved != Unproved::No)
                return notEmpty + " (" + held_->PathOf(name) + ": " + UnprovedReason(unproved) + ").";
            if (manifest) {
                // What was written of the manifest begins as every undo's
                // does; a complete one carries no bytes of any member.
                const std::optional<std::string> text = ReadSmallFile(*file, kLargestUndoManifest);
                const std::size_t compared =
                    name == partialManifest && text ? std::min(text->size(), heading.size()) : heading.size();
                if (!text || text->compare(0, compared, heading, 0, compared) != 0)
                    return notEmpty + " (" + held_->PathOf(name) + " is not the manifest of an undo).";
            } else {
                ++memberFiles;
                std::vector<CatalogueEntry>& catalogue = catalogues[parts->group];
                if (catalogue.empty())
                    for (const std::string& line :
                         FillCatalogue(context.fs, context.paths.IndexPath, context.table, parts->group))
                        catalogue.push_back(ReadCatalogueLine(line));
                std::unique_ptr<File>& archive = archives[parts->group];
                if (archive == nullptr)
                    archive = context.fs.Open(ArchivePathOf(context.paths, parts->group), OpenMode::Read);
                // Without a complete manifest the files may have been cut
                // short by the death; with one, they were flushed before it.
                const bool held = std::any_of(catalogue.begin(), catalogue.end(), [&](const CatalogueEntry& entry) {
                    return entry.name == parts->memberName &&
                           HoldsMemberBytes(*file, *archive, entry, !complete, buffer);
                });
                if (!held)
                    return notEmpty + " (" + held_->PathOf(name) + " holds other bytes than the member " +
                           parts->memberName + " holds now" +
                           (complete ? ": it is the undo of a mod that took effect" : "") + ").";
            }
            found.push_back({name, facts.identity});
        }
    } catch (const IoError& error) {
        return notEmpty + " (" + error.what() + ").";
    } catch (const std::exception& error) {
        return notEmpty + " (" + error.what() + ").";
    }
    // The manifest goes first: a death while they are taken away leaves no
    // manifest beside files it named.
    std::stable_partition(found.begin(), found.end(), [](const Made& made) { return made.name == kUndoManifestName; });
    leftovers_ = std::move(found);
    replaces_ = "The undo directory " + directory_ + " held the " + (complete ? "complete" : "unfinished") +
                " undo of a mod that never took effect (" + std::to_string(memberFiles) + " member file" +
                (memberFiles == 1 ? "" : "s") + (complete ? " and its manifest" : "") +
                ", all holding what the data set holds), left by an apply --undo that died or was stopped before its "
                "mod took effect: the new undo takes its place.";
    return {};
}

UndoWriter::UndoWriter(FileSystem& fs, std::string directory, std::vector<UndoMember> members)
    : fs_(fs), directory_(Utf8Of(DirectoryPath(directory))), members_(std::move(members)) {}

UndoWriter::~UndoWriter() {
    try {
        Abandon();
    } catch (...) {
        // Nothing may leave a destructor; what stays is the user's to see.
    }
}

std::unique_ptr<File> UndoWriter::CreateEntry(const std::string& name) {
    auto file = held_->CreateEntry(name);
    made_.push_back({name, std::nullopt});
    made_.back().identity = file->Facts().identity;
    return file;
}

void UndoWriter::Write(const std::vector<File*>& copies, const std::vector<std::string>& archivePaths) {
    if (held_ == nullptr) {
        if (!fs_.Exists(directory_)) {
            fs_.MakeDirectory(directory_);
            madeDirectory_ = true;
            fs_.SyncDirectoryOf(directory_);
        }
        held_ = fs_.OpenDirectory(directory_);
        // Proved on the handle every file goes through; one that appeared
        // since Refusal is taken only when empty.
        if (!UndoDirectoryProblem(*held_).empty() || !held_->EntryNames().empty())
            throw IoError(IoStep::Open, directory_, MakeDataError(DataError::NotProved));
    }
    if (!leftovers_.empty()) {
        for (const Made& leftover : leftovers_) held_->RemoveEntry(leftover.name, *leftover.identity);
        leftovers_.clear();
        held_->Sync();
    }

    std::vector<unsigned char> buffer(kUndoBufferSize);
    std::vector<std::unique_ptr<File>> newArchives(archivePaths.size());
    std::string guards;
    std::string lines;
    for (std::size_t n = 0; n < members_.size(); ++n) {
        const UndoMember& member = members_[n];
        const std::string name = UndoFileName(n + 1, member.group, member.name);
        auto out = CreateEntry(name);
        File& copy = *copies[member.archive];
        copy.Seek(member.oldOffset);
        CopyExactly(copy, *out, member.oldSize, buffer);
        out->Close();
        // What the mod wrote is read back from the archive it is now in.
        std::unique_ptr<File>& archive = newArchives[member.archive];
        if (archive == nullptr) archive = fs_.Open(archivePaths[member.archive], OpenMode::Read);
        const auto crc = MemberCrc32(*archive, member.newOffset, member.newSize, buffer);
        if (!crc) throw IoError(IoStep::Read, archive->Path(), MakeDataError(DataError::EndedEarly));
        guards += GuardLine(member.group, member.name, member.newSize, *crc) + "\n";
        lines += std::string(TypeWord(member.group)) + " " + member.name + " " + name + "\n";
    }
    // One wait for the disk for the whole batch, as an extraction waits: a
    // mod of thousands of members must not wait once for each.
    fs_.SyncFileSystemOf(directory_);
    held_->Sync();

    const std::string text = std::string(kUndoManifestHeading) +
                             ": \"qaxtool apply DIR\" with this\n"
                             "# directory puts back what the mod replaced. Each guard line gives the size and the\n"
                             "# CRC-32 of what the mod wrote into a member; while any member holds something else,\n"
                             "# the undo is refused and nothing is changed.\n" +
                             guards + lines;
    const std::string partialName = std::string(kUndoManifestName) + ".new";
    auto manifest = CreateEntry(partialName);
    manifest->Write(text.data(), text.size());
    manifest->Flush();
    manifest->Close();
    fs_.RenameNew(held_->PathOf(partialName), held_->PathOf(kUndoManifestName));
    made_.back().name = kUndoManifestName;
    held_->Sync();
}

std::string UndoWriter::Abandon() {
    if (kept_) return {};
    kept_ = true;
    const bool madeAny = !made_.empty();
    std::string left;
    for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
        if (!made->identity) {
            left += "\n" + held_->PathOf(made->name) + " (it could not be checked as the file written here)";
            continue;
        }
        try {
            held_->RemoveEntry(made->name, *made->identity);
        } catch (const IoError& error) {
            if (error.Reason() != std::errc::no_such_file_or_directory)
                left += "\n" + held_->PathOf(made->name) + " (" + error.Reason().message() + ")";
        }
    }
    made_.clear();
    // What stays after a failure here is only an empty directory, or files
    // whose manifest is refused: nothing to tell beyond the names above.
    try {
        if (held_ != nullptr && madeAny) held_->Sync();
        held_.reset();
        std::error_code ec;
        const bool stillOurs = std::filesystem::symlink_status(PathFromUtf8(directory_), ec).type() ==
                               std::filesystem::file_type::directory;
        if (madeDirectory_ && left.empty() && stillOurs) {
            fs_.Remove(directory_);
            fs_.SyncDirectoryOf(directory_);
        }
    } catch (const IoError&) {
    }
    if (left.empty()) return {};
    return "\n\nWhat the undo in " + directory_ + " had written could not all be removed; these stay:" + left +
           "\nWhile the data set is as it was before the mod, their manifest (if it is among them) is refused.";
}

UndoSource::UndoSource(FileSystem& fs, const std::string& directory) : held_(fs.OpenDirectory(directory)) {}

std::string UndoSource::FileRefusal(const std::string& name) {
    const std::string path = held_->PathOf(name);
    // A file that is not there is told by the open that reads it, as in
    // any manifest.
    if (!held_->HasEntry(name)) return {};
    std::string why;
    try {
        auto file = held_->OpenEntry(name, EntryAccess::Read);
        why = UnprovedReason(CheckClaim(file->Facts(), Claim::MadeByThisUser));
    } catch (const IoError& error) {
        why = error.Reason().message();
    }
    if (why.empty()) return {};
    return "The file " + path + " of the undo in " + held_->Path() + " cannot be used (" + why +
           "): an undo puts into the data set only files of your own, with one name, that nobody else may change. "
           "If you wrote that undo and nobody else has changed it, make the file so (for one that others may "
           "write: chmod go-w " +
           path + ").";
}

std::unique_ptr<File> UndoSource::OpenFile(const std::string& name) {
    auto file = held_->OpenEntry(name, EntryAccess::Read);
    if (CheckClaim(file->Facts(), Claim::MadeByThisUser) != Unproved::No)
        throw IoError(IoStep::Open, held_->PathOf(name), MakeDataError(DataError::NotProved));
    return file;
}

std::unique_ptr<File> UndoReadingFileSystem::Open(const std::string& path, OpenMode mode) {
    const auto found = files_.find(path);
    const bool reads = mode == OpenMode::Read || mode == OpenMode::ReadRegular || mode == OpenMode::ReadOwn;
    if (found == files_.end() || !reads) return inner_.Open(path, mode);
    return source_.OpenFile(found->second);
}

}  // namespace qax
