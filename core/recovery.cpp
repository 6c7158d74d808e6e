#include "recovery.h"

#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "archive_ops.h"
#include "rebuild_record.h"

namespace qax {

namespace {

std::string FileNameOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).filename());
}

std::string DirectoryOf(const std::string& path) {
    const std::filesystem::path parent = PathFromUtf8(path).parent_path();
    return parent.empty() ? std::string(".") : Utf8Of(parent);
}

RecoveryReport Unresolved(std::string text) {
    return {RecoveryState::Unresolved,
            std::move(text) + "\nNothing was changed; replacing members stays refused until this is settled."};
}

// For a restore that failed after it had begun writing: something did
// change, and the record still says how to finish.
RecoveryReport UnresolvedAfterWriting(std::string text) {
    return {RecoveryState::Unresolved, std::move(text) + "\nReplacing members stays refused until then."};
}

// A file at a derived name in a held directory, with the identity of the
// handle it was proved on.
struct HeldFile {
    Directory* directory = nullptr;
    std::string name;
    std::unique_ptr<File> file;
    FileIdentity identity;

    std::string Path() const { return directory->PathOf(name); }
    // Closes the handle, then removes the name while it is still that file.
    void Remove() {
        file.reset();
        directory->RemoveEntry(name, identity);
    }
};

// What was found at a name: nothing, a file proved for the claim (held), or
// a file that is not, and why.
struct Probe {
    bool present = false;
    Unproved unproved = Unproved::No;
    std::string whyNot;  // empty when held
    std::optional<HeldFile> held;
};

Probe ProbeEntry(Directory& directory, const std::string& name, EntryAccess access, Claim claim) {
    Probe probe;
    if (!directory.HasEntry(name)) return probe;
    probe.present = true;
    try {
        auto file = directory.OpenEntry(name, access);
        const FileFacts facts = file->Facts();
        probe.unproved = CheckClaim(facts, claim);
        probe.whyNot = UnprovedReason(probe.unproved);
        if (probe.unproved == Unproved::No) probe.held = HeldFile{&directory, name, std::move(file), facts.identity};
    } catch (const IoError& error) {
        probe.whyNot = error.Reason().message();
    }
    return probe;
}

// Everything recovery may touch, found from the data set's paths and this
// program's own place, never from the record, and held open throughout.
class Scene {
public:
    Scene(FileSystem& fs, const DataSetPaths& paths)
        : fs_(fs), paths_(paths), data_(fs.OpenDirectory(DataDirectoryOf(paths))) {}

    FileSystem& Fs() { return fs_; }
    const DataSetPaths& Paths() const { return paths_; }
    Directory& Data() { return *data_; }
    // The copies lie where some editor of this data set keeps them: in the
    // data directory (qaxtool), beside the editor whose copy this
    // program's paths name, and beside this program. Opened when first
    // asked for: most scenes hold no record.
    const std::vector<Directory*>& CopyPlaces() {
        if (copyPlaces_.empty()) {
            copyPlaces_.push_back(data_.get());
            AddCopyPlace(DirectoryOf(paths_.TempPath));
            if (const auto program = RunningProgramPath()) AddCopyPlace(DirectoryOf(*program));
        }
        return copyPlaces_;
    }
    std::string RecordPath() const { return data_->PathOf(kRebuildRecordName); }
    std::string IndexName() const { return FileNameOf(LinkTarget(paths_.IndexPath)); }
    std::string ArchivePath(const RecordedArchive& archive) const { return data_->PathOf(archive.archiveName); }
    std::string ArchiveNames(const RebuildRecord& record) const {
        std::string names;
        for (const RecordedArchive& archive : record.archives)
            names += (names.empty() ? "" : " and ") + ArchivePath(archive);
        return names;
    }

private:
    // Each directory once, however it is spelled.
    void AddCopyPlace(const std::string& path) {
        for (const Directory* place : copyPlaces_)
            if (place->Path() == path || fs_.SameFile(place->Path(), path)) return;
        try {
            ownedPlaces_.push_back(fs_.OpenDirectory(path));
            copyPlaces_.push_back(ownedPlaces_.back().get());
        } catch (const IoError&) {
            // A place that cannot be opened holds no copy this program can use.
        }
    }

    FileSystem& fs_;
    const DataSetPaths& paths_;
    std::unique_ptr<Directory> data_;
    std::vector<std::unique_ptr<Directory>> ownedPlaces_;
    std::vector<Directory*> copyPlaces_;
};

// ---------------------------------------------------------------------------
// The record.

struct FoundRecord {
    std::optional<RebuildRecord> record;
    std::optional<RecoveryReport> stop;
};

FoundRecord ReadRecord(Scene& scene) {
    const std::string recordPath = scene.RecordPath();
    Probe probe = ProbeEntry(scene.Data(), kRebuildRecordName, EntryAccess::Read, Claim::MadeByThisUser);
    if (probe.unproved == Unproved::AnotherUsers)
        return {std::nullopt,
                Unresolved("The record " + recordPath +
                           " of an interrupted replacement belongs to another user, so the editor does not act on "
                           "it: that user finishes the replacement by opening this data set with the editor or "
                           "qaxtool.")};
    if (probe.unproved == Unproved::OthersMayWrite)
        return {std::nullopt,
                Unresolved("The record " + recordPath +
                           " of an interrupted replacement may be changed by users other than its owner, so it "
                           "proves nothing and the editor does not act on it. If you made that replacement, let "
                           "only yourself write the record (chmod go-w) and open the data set again.")};
    const auto cannotRead = [&](const std::string& reason) -> FoundRecord {
        return {std::nullopt, Unresolved("The file " + recordPath +
                                         " has the name of the editor's record of an interrupted replacement, but "
                                         "it cannot be read as one (" +
                                         reason + "). If no replacement was interrupted, remove it.")};
    };
    if (!probe.held) return cannotRead(probe.whyNot);
    std::string bytes;
    try {
        File& file = *probe.held->file;
        const std::uint64_t length = file.Length();
        if (length > kLargestRecord) return cannotRead(MakeDataError(DataError::WrongLength).message());
        bytes.resize(static_cast<std::size_t>(length));
        if (!bytes.empty() && !ReadExactly(file, bytes.data(), bytes.size()))
            return cannotRead(MakeDataError(DataError::EndedEarly).message());
    } catch (const IoError& error) {
        return cannotRead(error.Reason().message());
    }
    std::optional<RebuildRecord> record = DecodeRecord(bytes);
    if (!record)
        return {std::nullopt,
                Unresolved("The record of an interrupted replacement,\n" + recordPath +
                           ",\nis damaged, so the editor cannot tell which archive it was rebuilding. If the "
                           "temporary copy " +
                           scene.Paths().TempPath +
                           " exists, it holds a whole txt.qax or shp.qax from before that replacement, followed by "
                           "the editor's mark of 36 bytes: if that archive is damaged, put all but those last bytes "
                           "back over it; then delete both files.")};
    return {std::move(record), std::nullopt};
}

// ---------------------------------------------------------------------------
// The copies. A copy is the one a record's replacement made when it lies at
// a place this program derives, is a file of this user's that nobody else
// may change, and ends in the mark with the record's token: no one else
// can have known the token before the record was written. The key in the
// mark is the record's own, not one computed from the path the data set
// has now, so a data set that was moved or renamed since, or reached
// through another link, drive letter or system, still finds its copy.

struct CopySearch {
    std::optional<HeldFile> copy;
    std::string placesLooked;            // "A or B"
    std::vector<std::string> strangers;  // files with the copy's name that are not proved to be it, and why
    std::string StrangersLeftAlone() const {
        std::string text;
        for (const std::string& stranger : strangers)
            text += "\n\nThe file " + stranger + ", so the editor left it alone.";
        return text;
    }
};

CopySearch FindCopy(Scene& scene, const RebuildRecord& record, std::size_t n) {
    const RecordedArchive& archive = record.archives[n];
    const std::string name = SafetyCopyName(n);
    const std::string mark = CopyMark(record.token, record.dataSetKey, archive.oldLength);
    CopySearch search;
    for (Directory* place : scene.CopyPlaces()) {
        search.placesLooked += (search.placesLooked.empty() ? "" : " or ") + place->PathOf(name);
        if (search.copy) continue;
        Probe probe = ProbeEntry(*place, name, EntryAccess::Read, Claim::MadeByThisUser);
        if (!probe.present) continue;
        try {
            if (probe.held && IsMarkedCopy(*probe.held->file, mark, archive.oldLength)) {
                search.copy = std::move(probe.held);
                continue;
            }
        } catch (const IoError&) {
            // Unreadable: not proved, which is all that counts.
        }
        search.strangers.push_back(place->PathOf(name) + " is not the copy that replacement made" +
                                   (probe.whyNot.empty() ? std::string() : " (" + probe.whyNot + ")"));
    }
    return search;
}

// Where the record says the copy was put, when that is none of the places
// this program looks: the editor that made it lies there and can finish.
std::string CopyElsewhereText(Scene& scene, const RecordedArchive& archive, std::size_t n) {
    const std::string& hint = archive.copyPathHint;
    if (hint.empty()) return {};
    for (Directory* place : scene.CopyPlaces())
        if (place->PathOf(SafetyCopyName(n)) == hint) return {};
    return " The replacement kept that copy at " + hint +
           ", where this program does not act: the editor or qaxtool installed in " + DirectoryOf(hint) +
           " puts the archive back from there when it next opens this data set. Keep that file until then.";
}

// ---------------------------------------------------------------------------
// What recovery makes of a record, and what it then does.

struct IndexMatch {
    bool isOld = false;
    bool isNew = false;
};

struct Verdict {
    RecoveryState state = RecoveryState::Unresolved;
    std::string done;   // what the user reads once it was done (the whole text when Unresolved)
    std::string would;  // what a rehearsal says would be done
    bool writeBack = false;
    std::vector<HeldFile> copies;    // for a write-back: each archive's proved copy
    std::vector<HeldFile> archives;  // for a write-back: each archive, opened for update
};

Verdict Unsettled(const std::string& text) {
    Verdict verdict;
    verdict.done = verdict.would = Unresolved(text).text;
    return verdict;
}

// Whether the index is the one from before the record's replacement or the
// one from after it. When the replacement gave every member its old size
// and place, the two are the same: that counts as before, since putting the
// archives back from their copies is then right either way.
IndexMatch MatchIndex(Scene& scene, const RebuildRecord& record) {
    auto file = scene.Data().OpenEntry(scene.IndexName(), EntryAccess::Read);
    std::string index(static_cast<std::size_t>(file->Length()), '\0');
    if (!index.empty() && !ReadExactly(*file, index.data(), index.size()))
        throw IoError(IoStep::Read, file->Path(), MakeDataError(DataError::EndedEarly));
    const std::uint32_t checksum = Checksum(index);
    return {index.size() == record.oldIndexLength && checksum == record.oldIndexChecksum,
            index.size() == record.newIndexLength && checksum == record.newIndexChecksum};
}

// Where a dead mod was writing its undo, as its record says: told, never
// acted on (the directory is the user's to name again). `tookEffect`: the
// mod stands, and its undo was complete before it did.
std::string UndoDirectoryText(const RebuildRecord& record, bool tookEffect) {
    const std::string& directory = record.undoDirectoryHint;
    if (directory.empty()) return {};
    if (tookEffect)
        return " Its undo was complete in " + directory + " before the mod took effect: qaxtool apply " + directory +
               " takes the mod off.";
    return " It was writing the undo of its mod into " + directory +
           ": whatever it left there is the unfinished undo of a mod that never took effect, and has nothing the data "
           "set does not hold (a manifest.txt among it finds nothing to take off). The same qaxtool apply --undo " +
           directory + " MANIFEST takes that directory again and replaces it; otherwise delete what is in it.";
}

// A record belongs to the data set it is found in when that data set's
// content is the one the record describes: the index is its old or its new
// one, and the archives have the lengths that index goes with. Nothing is
// asked of the path the data set has now.
Verdict Judge(Scene& scene, const RebuildRecord& record) {
    const std::string names = scene.ArchiveNames(record);
    const std::string recordPath = scene.RecordPath();
    if (record.phase == RecordPhase::ArchivesOld)
        return {RecoveryState::Undone,
                "The interrupted replacement in " + names +
                    " was undone: it had not touched the archives yet, and the data set is as it was before it." +
                    UndoDirectoryText(record, false),
                "An interrupted replacement in " + names + " had not touched the archives yet; recovery would remove " +
                    recordPath + " and what it made." + UndoDirectoryText(record, false),
                false,
                {},
                {}};
    IndexMatch match;
    try {
        match = MatchIndex(scene, record);
        if (record.phase == RecordPhase::Committed && !match.isNew)
            return Unsettled("The index " + scene.Paths().IndexPath + " is not the one the replacement in " + names +
                             " wrote before it stopped: something else changed it since. Restore the data set from a "
                             "backup, then delete " +
                             recordPath + ".");
        if (match.isNew && (!match.isOld || record.phase == RecordPhase::Committed)) {
            // The archives were flushed before the new index was renamed
            // into place: the replacement is complete, only its clean-up
            // is not.
            for (const RecordedArchive& archive : record.archives) {
                auto file = scene.Data().OpenEntry(archive.archiveName, EntryAccess::Read);
                if (file->Length() != archive.newLength)
                    return Unsettled("The index " + scene.Paths().IndexPath +
                                     " is the one an interrupted replacement wrote, but " + scene.ArchivePath(archive) +
                                     " is not the archive it wrote: it was changed since. Restore the data set from a "
                                     "backup, then delete " +
                                     recordPath + ".");
            }
            return {RecoveryState::Completed,
                    "The replacement in " + names +
                        " had been completed when the editor stopped; it stands, and its leftovers were removed." +
                        UndoDirectoryText(record, true),
                    "An interrupted replacement in " + names +
                        " had been completed; recovery would keep it and remove " + recordPath + " and its copies." +
                        UndoDirectoryText(record, true),
                    false,
                    {},
                    {}};
        }
    } catch (const IoError& error) {
        return Unsettled("The interrupted replacement in " + names + " could not be judged: " + error.what() + ".");
    }

    // The copies may hold the only whole archives from here on: every text
    // says where they are and that they stay.
    Verdict verdict{RecoveryState::Undone,
                    "The interrupted replacement in " + names + " was undone: the data set is as it was before it." +
                        UndoDirectoryText(record, false),
                    "An interrupted replacement in " + names +
                        " would be undone: each archive copied back from its copy, then " + recordPath +
                        " and the copies removed." + UndoDirectoryText(record, false),
                    true,
                    {},
                    {}};
    std::string copiesKept;
    for (std::size_t n = 0; n < record.archives.size(); ++n) {
        const RecordedArchive& archive = record.archives[n];
        CopySearch search = FindCopy(scene, record, n);
        if (!search.copy) {
            // A file that has the copy's name but cannot be proved may be
            // the copy all the same: it is named, and kept.
            std::string unproved;
            for (const std::string& stranger : search.strangers)
                unproved += " The file " + stranger + "; if it is that copy after all, it holds the whole former " +
                            archive.archiveName + ": keep it.";
            const std::string elsewhere = CopyElsewhereText(scene, archive, n);
            return Unsettled(scene.ArchivePath(archive) +
                             " may be partly rewritten by an interrupted replacement, and the copy that replacement "
                             "made of it is not at " +
                             search.placesLooked + " (it is missing, or that file is not the copy)." + unproved +
                             (elsewhere.empty() ? " Restore " + scene.ArchivePath(archive) +
                                                      " from a backup, then delete " + recordPath + "."
                                                : elsewhere));
        }
        copiesKept += (copiesKept.empty() ? "" : " and ") + search.copy->Path();
        verdict.copies.push_back(std::move(*search.copy));
    }
    if (!match.isOld)
        return Unsettled("The index " + scene.Paths().IndexPath +
                         " is neither the one from before nor the one from after the interrupted replacement in " +
                         names + ": something else changed it since. " + copiesKept +
                         " keep the archives as they were before that replacement: keep them, and " + recordPath +
                         ", until the data set is restored from a backup.");
    for (const RecordedArchive& archive : record.archives) {
        Probe probe = ProbeEntry(scene.Data(), archive.archiveName, EntryAccess::Update, Claim::DataFile);
        if (!probe.held)
            return Unsettled(scene.ArchivePath(archive) +
                             " may be partly rewritten by an interrupted replacement, but it cannot be written back (" +
                             (probe.present ? probe.whyNot : std::string("it is missing")) +
                             "): recovery writes only to a plain file with one name beside the index. Its whole "
                             "former contents are kept in " +
                             copiesKept + ": keep that, and " + recordPath +
                             ", make the archive such a file again, and open the data set again.");
        verdict.archives.push_back(std::move(*probe.held));
    }
    return verdict;
}

// Writes the first `length` bytes of `copy` over the archive and cuts it
// there, through the handles both were proved on.
void WriteBack(File& copy, File& archive, std::uint64_t length) {
    copy.Seek(0);
    archive.Seek(0);
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    CopyExactly(copy, archive, length, buffer);
    archive.SetLength(length);
    archive.Flush();
    archive.Close();
}

// Removes the unfinished files that carry the record's token in their
// names, in the directory where each is made; any other file is left.
std::string RemoveUnfinishedFiles(Scene& scene, const RebuildRecord& record) {
    std::vector<std::pair<Directory*, std::string>> unfinished = {
        {&scene.Data(), PartialNameFor(scene.IndexName(), record.token)}};
    for (std::size_t n = 0; n < record.archives.size(); ++n)
        for (Directory* place : scene.CopyPlaces())
            unfinished.emplace_back(place, PartialNameFor(SafetyCopyName(n), record.token));
    std::string text;
    for (auto& [directory, name] : unfinished) {
        Probe probe = ProbeEntry(*directory, name, EntryAccess::Read, Claim::NamedForThisReplacement);
        if (!probe.present) continue;
        try {
            if (!probe.held)
                throw IoError(IoStep::Remove, directory->PathOf(name), MakeDataError(DataError::NotItsOwnFile));
            probe.held->Remove();
            // Flushed before the record goes: once it is gone, nothing could
            // tell this file for the replacement's.
            directory->Sync();
        } catch (const IoError& error) {
            text += "\n\nThe unfinished file " + directory->PathOf(name) + " was left as it is (" +
                    (probe.whyNot.empty() ? error.Reason().message() : probe.whyNot) + ").";
        }
    }
    return text;
}

// Removes each proved copy, then flushes where they lay: a power cut must
// not bring a copy back once no record vouches for it.
std::string RemoveCopies(std::vector<HeldFile>& copies) {
    std::string text;
    for (HeldFile& copy : copies) {
        try {
            copy.Remove();
            copy.directory->Sync();
        } catch (const IoError& error) {
            text += "\n\nThe temporary copy " + copy.Path() + " could not be removed (" + error.Reason().message() +
                    "); it is not needed and can be deleted.";
        }
    }
    return text;
}

RecoveryReport RecoverFromRecord(Scene& scene) {
    FoundRecord found = ReadRecord(scene);
    if (found.stop) return *found.stop;
    RebuildRecord& record = *found.record;
    const std::string recordPath = scene.RecordPath();
    const std::string names = scene.ArchiveNames(record);
    Verdict verdict = Judge(scene, record);
    if (verdict.state == RecoveryState::Unresolved) return {verdict.state, verdict.done};

    if (verdict.writeBack) {
        for (std::size_t n = 0; n < verdict.copies.size(); ++n) {
            HeldFile& archive = verdict.archives[n];
            try {
                WriteBack(*verdict.copies[n].file, *archive.file, record.archives[n].oldLength);
            } catch (const IoError& error) {
                return UnresolvedAfterWriting(
                    "The interrupted replacement in " + names + " could not be undone: " + error.what() + ". " +
                    archive.Path() + " is partly written; its complete former contents are kept in " +
                    verdict.copies[n].Path() + ", and the editor puts them back the next time it opens the data set.");
            }
        }
        verdict.archives.clear();
        try {
            // The copies are no longer needed: the record says so before they go.
            record.phase = RecordPhase::ArchivesOld;
            WriteRecord(scene.Fs(), recordPath, record);
        } catch (const IoError& error) {
            return UnresolvedAfterWriting("The interrupted replacement in " + names + " was undone, but its record " +
                                          recordPath + " could not be updated (" + error.Reason().message() +
                                          "); the editor clears it up the next time.");
        }
    } else {
        // Nothing to write back: the copies are only cleared up, each once
        // it is proved to be that replacement's.
        for (std::size_t n = 0; n < record.archives.size(); ++n) {
            CopySearch search = FindCopy(scene, record, n);
            verdict.done += search.StrangersLeftAlone();
            if (search.copy) verdict.copies.push_back(std::move(*search.copy));
        }
    }
    // Copies first, while the record still vouches for them.
    const std::string leftovers = RemoveCopies(verdict.copies) + RemoveUnfinishedFiles(scene, record);
    try {
        Probe probe = ProbeEntry(scene.Data(), kRebuildRecordName, EntryAccess::Read, Claim::MadeByThisUser);
        if (!probe.held) throw IoError(IoStep::Remove, recordPath, MakeDataError(DataError::Replaced));
        probe.held->Remove();
        scene.Data().Sync();
    } catch (const IoError& error) {
        return UnresolvedAfterWriting(verdict.done + " But its record " + recordPath + " could not be removed (" +
                                      error.Reason().message() + "); the editor removes it the next time.");
    }
    return {verdict.state, verdict.done + leftovers};
}

// The record's own unfinished file, from a death while it was written: the
// replacement had not touched anything yet. It is removed only when it is
// this user's own and holds nothing but the start of a record, so a
// stranger's file of that name is never lost.
std::string RemoveUnfinishedRecord(Scene& scene) {
    const std::string name = FileNameOf(SaveFile::PartialPathOf(kRebuildRecordName));
    Probe probe = ProbeEntry(scene.Data(), name, EntryAccess::Read, Claim::MadeByThisUser);
    if (!probe.present) return {};
    const std::string path = scene.Data().PathOf(name);
    const std::string leftAlone =
        "\n\nThe file " + path + " is not an unfinished record of the editor's; it was left alone.";
    if (!probe.held) return leftAlone;
    try {
        File& file = *probe.held->file;
        std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(file.Length(), kLargestRecord + 1)), '\0');
        bytes.resize(file.Read(bytes.data(), bytes.size()));
        if (!StartsLikeRecord(bytes)) return leftAlone;
        probe.held->Remove();
        // Flushed, so that a power cut does not bring it back to be judged again.
        scene.Data().Sync();
    } catch (const IoError& error) {
        return "\n\nThe unfinished file " + path + " could not be removed (" + error.Reason().message() +
               "); it is not needed and can be deleted.";
    }
    return {};
}

// Whether a replacement may have left anything behind: only then is the
// data set opened for recovery. What has the names is judged once held.
bool RecordNamesTaken(FileSystem& fs, const DataSetPaths& paths) {
    const std::string recordPath = RebuildRecordPath(paths);
    return fs.Exists(recordPath) || fs.Exists(SaveFile::PartialPathOf(recordPath));
}

}  // namespace

RecoveryReport RecoverInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    RecoveryReport report;
    try {
        std::optional<Scene> scene;
        if (RecordNamesTaken(fs, paths)) scene.emplace(fs, paths);
        const std::string unfinished = scene ? RemoveUnfinishedRecord(*scene) : std::string();
        if (scene && scene->Data().HasEntry(kRebuildRecordName)) {
            report = RecoverFromRecord(*scene);
        } else if (fs.Exists(paths.TempPath)) {
            // The copy is made after the record is written and removed
            // before it, so without a record the archives and the index
            // agree; but a file of that name may just as well be the user's.
            report = {RecoveryState::StrayCopy, StrayCopyText(paths.TempPath)};
        }
        if (!unfinished.empty()) report.text += unfinished;
        // Extractions into the editor's own directory that died half way;
        // only once the archive is known to be whole again.
        if (report.state != RecoveryState::Unresolved)
            report.text += RemoveUnfinishedExtractions(fs, paths, DirectoryOf(paths.TempPath));
    } catch (const std::exception& failure) {
        report = Unresolved(std::string("The editor could not look for an interrupted replacement: ") + failure.what() +
                            ".");
    }
    if (report.state == RecoveryState::Clean && !report.text.empty())
        report.text.erase(0, report.text.find_first_not_of('\n'));
    return report;
}

RecoveryReport DescribeInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    try {
        if (!fs.Exists(RebuildRecordPath(paths))) {
            if (fs.Exists(paths.TempPath)) return {RecoveryState::StrayCopy, StrayCopyText(paths.TempPath)};
            return {};
        }
        Scene scene(fs, paths);
        FoundRecord found = ReadRecord(scene);
        if (found.stop) return *found.stop;
        const Verdict verdict = Judge(scene, *found.record);
        return {verdict.state, verdict.would};
    } catch (const std::exception& failure) {
        return Unresolved(std::string("The editor could not look for an interrupted replacement: ") + failure.what() +
                          ".");
    }
}

}  // namespace qax
