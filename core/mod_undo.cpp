#include "mod_undo.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "catalogue.h"
#include "data_set.h"

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
            changed += failure.name + " holds already what this manifest puts there (was it applied before?)\n";
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
                                           : "So this manifest has been applied already, and there is nothing "
                                             "left for it to do") +
                   ": to go back, apply the undo written when it was applied (with --undo), if one was.\n";
    return changed + "Nothing was changed.";
}

std::string UndoRefusal(const std::string& directory, const std::vector<UndoMember>& members) {
    const char* const kNothingChanged = "\nNothing was changed.";
    for (const UndoMember& member : members)
        if (!FitsAManifestLine(member.name))
            return "The member \"" + member.name +
                   "\" has a blank or a control character in its name, which a manifest line cannot hold, so no "
                   "undo can be written for this mod." +
                   kNothingChanged;
    const std::filesystem::path path = DirectoryPath(directory);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_directory(status))
            return directory + " is not a directory. An undo goes into a new or empty directory." + kNothingChanged;
        if (!std::filesystem::is_empty(path, ec) || ec)
            return "The undo directory " + directory +
                   " is not empty. An undo goes into a new or empty directory, so that what is in it is the undo "
                   "and nothing else." +
                   kNothingChanged;
        return {};
    }
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    if (!std::filesystem::is_directory(parent, ec))
        return "The undo directory " + directory + " cannot be made: " + Utf8Of(parent) + " is no directory." +
               kNothingChanged;
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
    auto file = fs_.Open(held_->PathOf(name), OpenMode::CreateNew);
    made_.push_back({name, std::nullopt});
    made_.back().identity = file->Facts().identity;
    return file;
}

void UndoWriter::Write(const std::vector<File*>& copies, const std::vector<std::string>& archivePaths) {
    if (!fs_.Exists(directory_)) {
        fs_.MakeDirectory(directory_);
        madeDirectory_ = true;
        fs_.SyncDirectoryOf(directory_);
    }
    held_ = fs_.OpenDirectory(directory_);

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
        if (held_ != nullptr) held_->Sync();
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

}  // namespace qax
