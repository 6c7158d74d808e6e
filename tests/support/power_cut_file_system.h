// A file system that remembers what would survive a power cut, and can then
// make the files on disk exactly that.
//
// What survives: a file's bytes as of its last flush to disk (a copy counts
// as flushed, as the real copy is), and in each directory the names as of
// the last flush of that directory. So a file written but not flushed loses
// its new bytes, and a file created, renamed or removed without a directory
// flush after it is back as it was. Cut name by name, each name changed
// since that flush is as it is now or back as it was, on its own: a note
// and the file it names may reach the disk one without the other. Files are
// followed by identity, not by name, through renames, and a file that
// survives keeps its identity, as on a disk: its bytes go back in place,
// and a name a rename took from it gives it back. A file kept under two
// names (a rename whose new name and old one both survive) is itself under
// the name it had on disk, and a copy under the other. Only the directories
// named at construction are modelled; everything else passes straight
// through.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive_data_set.h"
#include "file_access.h"

namespace qax::testing {

class PowerCutFileSystem : public ForwardingFileSystem {
public:
    PowerCutFileSystem(FileSystem& inner, std::vector<std::filesystem::path> directories)
        : ForwardingFileSystem(inner), directories_(std::move(directories)) {
        for (const auto& directory : directories_)
            for (const auto& entry : std::filesystem::directory_iterator(directory))
                if (entry.is_regular_file())
                    names_[entry.path().string()] = std::make_shared<Inode>(Inode{ReadWholeFile(entry.path())});
        durableNames_ = names_;
    }

    // The power cut: every modelled directory holds what survives, no more.
    // A file the cut leaves as it was is not touched, so it keeps the times
    // the system gave it.
    void Cut() { CutTo(durableNames_); }

    // The names changed since their directory's last flush (made, removed,
    // or now another file's), in a fixed order: what CutNameByName chooses
    // among.
    std::vector<std::string> UnflushedNames() const {
        std::set<std::string> changed;
        for (const auto& [path, inode] : names_) {
            const auto durable = durableNames_.find(path);
            if (durable == durableNames_.end() || durable->second != inode) changed.insert(path);
        }
        for (const auto& entry : durableNames_)
            if (names_.count(entry.first) == 0) changed.insert(entry.first);
        return {changed.begin(), changed.end()};
    }

    // The cut of a file system that writes each name to disk on its own,
    // in no order a program can count on: name i of UnflushedNames() is as
    // it is now when bit i of `keptNames` is set, and as its directory's
    // last flush left it otherwise; a file's bytes are those it had on
    // disk either way. Walking every value of `keptNames` walks every state
    // such a cut can leave.
    void CutNameByName(std::uint64_t keptNames) {
        auto survivors = durableNames_;
        const std::vector<std::string> unflushed = UnflushedNames();
        for (std::size_t i = 0; i < unflushed.size(); ++i) {
            if (((keptNames >> i) & 1u) == 0) continue;
            const auto now = names_.find(unflushed[i]);
            if (now == names_.end())
                survivors.erase(unflushed[i]);
            else
                survivors[unflushed[i]] = now->second;
        }
        CutTo(survivors);
    }

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        auto file = inner_.Open(path, mode);
        const bool reads = mode == OpenMode::Read || mode == OpenMode::ReadRegular || mode == OpenMode::ReadOwn;
        if (reads || !Modelled(path)) return file;
        auto& inode = names_[path];
        if (inode == nullptr || mode == OpenMode::CreateNew) inode = std::make_shared<Inode>();
        return std::make_unique<TrackedFile>(std::move(file), inode);
    }
    std::unique_ptr<Directory> OpenDirectory(const std::string& path) override {
        return std::make_unique<TrackedDirectory>(*this, inner_.OpenDirectory(path));
    }
    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) override {
        const std::uint64_t copied = inner_.CopyFile(from, to, target);
        auto& inode = names_[to];
        if (inode == nullptr || target == CopyTarget::NewFile) inode = std::make_shared<Inode>();
        inode->durable = ReadWholeFile(to);
        return copied;
    }
    void Rename(const std::string& from, const std::string& to) override {
        inner_.Rename(from, to);
        if (names_.count(from) != 0) names_[to] = names_[from];
        names_.erase(from);
    }
    void RenameNew(const std::string& from, const std::string& to) override {
        inner_.RenameNew(from, to);
        if (names_.count(from) != 0) names_[to] = names_[from];
        names_.erase(from);
    }
    // A directory made here is not modelled: only those named at
    // construction are.
    void SyncDirectoryOf(const std::string& path) override {
        inner_.SyncDirectoryOf(path);
        DurableNamesOf(std::filesystem::path(path).parent_path().string());
    }
    // Every file's bytes and every directory's names reach the disk.
    void SyncFileSystemOf(const std::string& path) override {
        inner_.SyncFileSystemOf(path);
        for (const auto& [name, inode] : names_)
            if (std::filesystem::exists(name)) inode->durable = ReadWholeFile(name);
        durableNames_ = names_;
    }
    void Remove(const std::string& path) override {
        inner_.Remove(path);
        names_.erase(path);
    }

private:
    struct Inode {
        std::string durable;  // the bytes that reached the disk
    };

    class TrackedFile : public File {
    public:
        TrackedFile(std::unique_ptr<File> inner, std::shared_ptr<Inode> inode)
            : inner_(std::move(inner)), inode_(std::move(inode)) {}
        std::size_t Read(void* buffer, std::size_t count) override { return inner_->Read(buffer, count); }
        void Write(const void* buffer, std::size_t count) override { inner_->Write(buffer, count); }
        void Seek(std::uint64_t position) override { inner_->Seek(position); }
        std::uint64_t Position() override { return inner_->Position(); }
        std::uint64_t Length() override { return inner_->Length(); }
        void SetLength(std::uint64_t length) override { inner_->SetLength(length); }
        void Flush() override {
            inner_->Flush();
            inode_->durable = ReadWholeFile(inner_->Path());
        }
        void Close() override { inner_->Close(); }
        const std::string& Path() const override { return inner_->Path(); }
        void TakeAccessOf(const std::string& modelPath) override { inner_->TakeAccessOf(modelPath); }
        void RestrictWritingToOwner() override { inner_->RestrictWritingToOwner(); }
        FileFacts Facts() override { return inner_->Facts(); }
        std::optional<std::int64_t> ChangeTime() override { return inner_->ChangeTime(); }

    private:
        std::unique_ptr<File> inner_;
        std::shared_ptr<Inode> inode_;
    };

    // What is done through a held directory counts as the same step by
    // path: an entry written through it, a name removed, the names flushed.
    class TrackedDirectory : public Directory {
    public:
        TrackedDirectory(PowerCutFileSystem& owner, std::unique_ptr<Directory> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) override {
            auto file = inner_->OpenEntry(name, access);
            const std::string path = PathOf(name);
            if (access == EntryAccess::Read || !owner_.Modelled(path)) return file;
            auto& inode = owner_.names_[path];
            if (inode == nullptr) inode = std::make_shared<Inode>();
            return std::make_unique<TrackedFile>(std::move(file), inode);
        }
        std::unique_ptr<File> CreateEntry(const std::string& name) override {
            auto file = inner_->CreateEntry(name);
            const std::string path = PathOf(name);
            if (!owner_.Modelled(path)) return file;
            auto& inode = owner_.names_[path];
            inode = std::make_shared<Inode>();
            return std::make_unique<TrackedFile>(std::move(file), inode);
        }
        std::vector<std::string> EntryNames() override { return inner_->EntryNames(); }
        FileFacts Facts() override { return inner_->Facts(); }
        bool HasEntry(const std::string& name) override { return inner_->HasEntry(name); }
        void RemoveEntry(const std::string& name, const qax::FileIdentity& proved) override {
            inner_->RemoveEntry(name, proved);
            owner_.names_.erase(PathOf(name));
        }
        void Sync() override {
            inner_->Sync();
            owner_.DurableNamesOf(Path());
        }
        const std::string& Path() const override { return inner_->Path(); }

    private:
        PowerCutFileSystem& owner_;
        std::unique_ptr<Directory> inner_;
    };

    // Makes the modelled directories hold `survivors`, each name with the
    // bytes its file had on disk, and each surviving file the file it was.
    void CutTo(const std::map<std::string, std::shared_ptr<Inode>>& survivors) {
        // The one name each surviving file is itself under: the name it had
        // on disk when that survives with it, else any that does.
        std::map<const Inode*, std::string> home;
        for (const auto& [path, inode] : survivors) {
            std::string& chosen = home[inode.get()];
            const auto durable = durableNames_.find(path);
            if (chosen.empty() || (durable != durableNames_.end() && durable->second == inode)) chosen = path;
        }
        std::vector<std::filesystem::path> entries;
        for (const auto& directory : directories_)
            for (const auto& entry : std::filesystem::directory_iterator(directory)) entries.push_back(entry.path());
        // A surviving file now under another name is set aside until its
        // own name is free. (WriteText rewrites a file that is there in
        // place: it stays the same file.)
        std::map<const Inode*, std::filesystem::path> aside;
        for (const auto& entry : entries) {
            const auto now = names_.find(entry.string());
            const Inode* file = now == names_.end() ? nullptr : now->second.get();
            const auto chosen = home.find(file);
            if (chosen != home.end() && chosen->second == entry.string()) {
                // A file the cut leaves as it was is not touched, so it
                // keeps the times the system gave it.
                if (ReadWholeFile(entry) != file->durable) WriteText(entry, file->durable);
                continue;
            }
            if (chosen != home.end() && aside.count(file) == 0) {
                aside[file] = entry.parent_path() / (".power-cut-" + std::to_string(aside.size()));
                std::filesystem::rename(entry, aside[file]);
            } else {
                std::filesystem::remove(entry);
            }
        }
        for (const auto& [path, inode] : survivors) {
            if (std::filesystem::exists(path)) continue;
            const auto setAside = aside.find(inode.get());
            if (home[inode.get()] == path && setAside != aside.end()) {
                std::filesystem::rename(setAside->second, path);
                aside.erase(setAside);
                if (ReadWholeFile(path) != inode->durable) WriteText(path, inode->durable);
            } else {
                WriteText(path, inode->durable);
            }
        }
        for (const auto& [file, path] : aside) std::filesystem::remove(path);
    }

    void DurableNamesOf(const std::string& directory) {
        std::erase_if(durableNames_, [&](const auto& entry) { return DirectoryOf(entry.first) == directory; });
        for (const auto& [name, inode] : names_)
            if (DirectoryOf(name) == directory) durableNames_[name] = inode;
    }
    static std::string DirectoryOf(const std::string& path) {
        return std::filesystem::path(path).parent_path().string();
    }
    bool Modelled(const std::string& path) const {
        const std::string directory = DirectoryOf(path);
        for (const auto& modelled : directories_)
            if (modelled.string() == directory) return true;
        return false;
    }

    std::vector<std::filesystem::path> directories_;
    std::map<std::string, std::shared_ptr<Inode>> names_;         // what the names are now
    std::map<std::string, std::shared_ptr<Inode>> durableNames_;  // what the directories hold on disk
};

}  // namespace qax::testing
