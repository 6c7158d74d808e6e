// A file system that passes everything to a real one, counts every file step
// that can fail, and makes a chosen step fail, so tests can walk a failure
// over every step of an operation.
//
// Counted steps: open, read, write, seek, length, truncate, flush, close (of files);
// copy, rename, remove and directory sync (of the file system). The step
// numbers start at 1.
#pragma once

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "file_access.h"

namespace qax::testing {

enum class FaultKind {
    Error,      // the step throws IoError (a write or copy first does half its work, as a full disk would)
    EndOfData,  // a read returns nothing, as at an unexpected end of file; a copy silently stops
                // halfway; other steps are not failed
};

class FaultyFileSystem : public ForwardingFileSystem {
public:
    explicit FaultyFileSystem(FileSystem& real) : ForwardingFileSystem(real) {}

    // Fails step `step` only (0: none).
    void FailStep(long step, FaultKind kind = FaultKind::Error) {
        failStep_ = step;
        failFromStep_ = 0;
        kind_ = kind;
    }
    // Fails step `step` and every step after it.
    void FailFromStep(long step) {
        failStep_ = 0;
        failFromStep_ = step;
        kind_ = FaultKind::Error;
    }
    // Fails step `step` only, and then every step from `from` on: a failure
    // the operation lives through, and a death while it deals with it.
    void FailStepThenFromStep(long step, long from) {
        failStep_ = step;
        failFromStep_ = from;
        kind_ = FaultKind::Error;
    }

    // Every open of `path` fails, as for a file the user may not open.
    void FailOpensOf(std::string path) { refusedPath_ = std::move(path); }
    // Every removal of `path` fails, as for a file the system will not let
    // go of: beside a failed step, a clean-up that cannot finish.
    void FailRemovesOf(std::string path) { unremovablePath_ = std::move(path); }
    // Every removal of a path that starts with `prefix` fails: for files
    // whose names hold something random.
    void FailRemovesStartingWith(std::string prefix) { unremovablePrefix_ = std::move(prefix); }

    long Steps() const { return steps_; }
    bool Fired() const { return fired_; }
    // What the failed step was, e.g. "write /tmp/.../shp.qax".
    const std::string& FiredStep() const { return firedStep_; }
    const std::vector<std::string>& Log() const { return log_; }
    std::uint64_t BytesReadFrom(const std::string& path) const {
        auto found = bytesRead_.find(path);
        return found == bytesRead_.end() ? 0 : found->second;
    }
    std::uint64_t BytesWrittenTo(const std::string& path) const {
        auto found = bytesWritten_.find(path);
        return found == bytesWritten_.end() ? 0 : found->second;
    }
    int OpenCount() const { return opens_; }

    // Called with each step as it is logged ("write /.../txt.qax"), before
    // it is done: a second editor can be set to work at that very moment.
    std::function<void(const std::string& step)> onStep;

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        Step(IoStep::Open, "open", path);
        ++opens_;
        if (path == refusedPath_) throw IoError(IoStep::Open, path, std::make_error_code(std::errc::permission_denied));
        return std::make_unique<FaultyFile>(*this, inner_.Open(path, mode));
    }

    std::unique_ptr<Directory> OpenDirectory(const std::string& path) override {
        Step(IoStep::Open, "open directory", path);
        return std::make_unique<FaultyDirectory>(*this, inner_.OpenDirectory(path));
    }

    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) override {
        const bool fail = Step(IoStep::Write, "copy", from + " -> " + to, Partial::Yes, EndsEarly::Yes);
        const std::uint64_t copied = inner_.CopyFile(from, to, target);
        if (!fail) return copied;
        std::filesystem::resize_file(to, copied / 2);
        if (kind_ == FaultKind::EndOfData) return copied;  // claims success, as a faulty copy would
        throw IoError(IoStep::Write, to, std::make_error_code(std::errc::no_space_on_device));
    }

    void Rename(const std::string& from, const std::string& to) override {
        Step(IoStep::Rename, "rename", from + " -> " + to);
        inner_.Rename(from, to);
    }
    void RenameNew(const std::string& from, const std::string& to) override {
        Step(IoStep::Rename, "rename", from + " -> " + to);
        inner_.RenameNew(from, to);
    }
    void MakeDirectory(const std::string& path) override {
        Step(IoStep::Write, "make directory", path);
        inner_.MakeDirectory(path);
    }
    void SyncDirectoryOf(const std::string& path) override {
        Step(IoStep::Flush, "sync directory of", path);
        inner_.SyncDirectoryOf(path);
    }
    void SyncFileSystemOf(const std::string& path) override {
        Step(IoStep::Flush, "sync file system of", path);
        inner_.SyncFileSystemOf(path);
    }
    void Remove(const std::string& path) override {
        Step(IoStep::Remove, "remove", path);
        if (Unremovable(path))
            throw IoError(IoStep::Remove, path, std::make_error_code(std::errc::device_or_resource_busy));
        inner_.Remove(path);
    }

private:
    class FaultyFile : public File {
    public:
        FaultyFile(FaultyFileSystem& owner, std::unique_ptr<File> real) : owner_(owner), real_(std::move(real)) {}

        std::size_t Read(void* buffer, std::size_t count) override {
            if (owner_.Step(IoStep::Read, "read", Path(), Partial::Yes, EndsEarly::Yes)) {
                if (owner_.kind_ == FaultKind::EndOfData) return 0;
                throw IoError(IoStep::Read, Path(), std::make_error_code(std::errc::io_error));
            }
            const std::size_t got = real_->Read(buffer, count);
            owner_.bytesRead_[Path()] += got;
            return got;
        }
        void Write(const void* buffer, std::size_t count) override {
            if (owner_.Step(IoStep::Write, "write", Path(), Partial::Yes)) {
                real_->Write(buffer, count / 2);
                throw IoError(IoStep::Write, Path(), std::make_error_code(std::errc::no_space_on_device));
            }
            real_->Write(buffer, count);
            owner_.bytesWritten_[Path()] += count;
        }
        void Seek(std::uint64_t position) override {
            owner_.Step(IoStep::Seek, "seek", Path());
            real_->Seek(position);
        }
        std::uint64_t Position() override { return real_->Position(); }
        std::uint64_t Length() override {
            owner_.Step(IoStep::Length, "length", Path());
            return real_->Length();
        }
        void SetLength(std::uint64_t length) override {
            owner_.Step(IoStep::Write, "truncate", Path());
            real_->SetLength(length);
        }
        void Flush() override {
            owner_.Step(IoStep::Flush, "flush", Path());
            real_->Flush();
        }
        void Close() override {
            // The stream is gone whether or not its close succeeds.
            const bool fail = owner_.Step(IoStep::Close, "close", Path(), Partial::Yes);
            real_->Close();
            if (fail) throw IoError(IoStep::Close, Path(), std::make_error_code(std::errc::io_error));
        }
        const std::string& Path() const override { return real_->Path(); }
        void TakeAccessOf(const std::string& modelPath) override { real_->TakeAccessOf(modelPath); }
        void RestrictWritingToOwner() override {
            owner_.Step(IoStep::Write, "restrict", Path());
            real_->RestrictWritingToOwner();
        }
        FileFacts Facts() override {
            owner_.Step(IoStep::Length, "facts", Path());
            return real_->Facts();
        }
        std::optional<std::int64_t> ChangeTime() override { return real_->ChangeTime(); }

    private:
        FaultyFileSystem& owner_;
        std::unique_ptr<File> real_;
    };

    // The steps through a held directory are counted and failed as the
    // same steps by path.
    class FaultyDirectory : public Directory {
    public:
        FaultyDirectory(FaultyFileSystem& owner, std::unique_ptr<Directory> real)
            : owner_(owner), real_(std::move(real)) {}
        std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) override {
            owner_.Step(IoStep::Open, "open", PathOf(name));
            ++owner_.opens_;
            if (PathOf(name) == owner_.refusedPath_)
                throw IoError(IoStep::Open, PathOf(name), std::make_error_code(std::errc::permission_denied));
            return std::make_unique<FaultyFile>(owner_, real_->OpenEntry(name, access));
        }
        std::unique_ptr<File> CreateEntry(const std::string& name) override {
            owner_.Step(IoStep::Open, "open", PathOf(name));
            ++owner_.opens_;
            if (PathOf(name) == owner_.refusedPath_)
                throw IoError(IoStep::Open, PathOf(name), std::make_error_code(std::errc::permission_denied));
            return std::make_unique<FaultyFile>(owner_, real_->CreateEntry(name));
        }
        std::vector<std::string> EntryNames() override { return real_->EntryNames(); }
        FileFacts Facts() override { return real_->Facts(); }
        bool HasEntry(const std::string& name) override { return real_->HasEntry(name); }
        void RemoveEntry(const std::string& name, const qax::FileIdentity& proved) override {
            owner_.Step(IoStep::Remove, "remove", PathOf(name));
            if (owner_.Unremovable(PathOf(name)))
                throw IoError(IoStep::Remove, PathOf(name), std::make_error_code(std::errc::device_or_resource_busy));
            real_->RemoveEntry(name, proved);
        }
        void Sync() override {
            owner_.Step(IoStep::Flush, "sync directory", Path());
            real_->Sync();
        }
        const std::string& Path() const override { return real_->Path(); }

    private:
        FaultyFileSystem& owner_;
        std::unique_ptr<Directory> real_;
    };

    enum class Partial { No, Yes };    // does the step do part of its work before it fails?
    enum class EndsEarly { No, Yes };  // can the step meet an unexpected end of data?

    // Counts a step. Returns whether it is to fail; a step that does nothing
    // partial throws for it at once.
    bool Step(IoStep step, const char* what, const std::string& path, Partial partial = Partial::No,
              EndsEarly endsEarly = EndsEarly::No) {
        ++steps_;
        log_.push_back(std::string(what) + " " + path);
        if (onStep) onStep(log_.back());
        bool fail = steps_ == failStep_ || (failFromStep_ > 0 && steps_ >= failFromStep_);
        if (kind_ == FaultKind::EndOfData && endsEarly == EndsEarly::No) fail = false;
        if (!fail) return false;
        if (!fired_) firedStep_ = log_.back();
        fired_ = true;
        if (partial == Partial::No) throw IoError(step, path, std::make_error_code(std::errc::permission_denied));
        return true;
    }

    bool Unremovable(const std::string& path) const {
        return path == unremovablePath_ || (!unremovablePrefix_.empty() && path.rfind(unremovablePrefix_, 0) == 0);
    }

    std::string refusedPath_;
    std::string unremovablePath_;
    std::string unremovablePrefix_;
    long failStep_ = 0;
    long failFromStep_ = 0;
    FaultKind kind_ = FaultKind::Error;
    long steps_ = 0;
    bool fired_ = false;
    std::string firedStep_;
    std::vector<std::string> log_;
    std::map<std::string, std::uint64_t> bytesRead_;
    std::map<std::string, std::uint64_t> bytesWritten_;
    int opens_ = 0;
};

}  // namespace qax::testing
