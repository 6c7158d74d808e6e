// One end-to-end test's world: a product directory made by the generator,
// the built editor copied into its editor directory, the running editor and
// its window on the X display of the test run. Everything is ended and
// removed after the test, so the display is clean for the next one; a
// failing test leaves a screenshot and the editor's output in the artefact
// directory of the build.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop.h"
#include "editor_window.h"
#include "expected_data_set.h"
#include "sample_data_set.h"
#include "temp_dir.h"

namespace qax::e2e {

// An editor process and its main window on the test's display.
struct RunningEditor {
    Process process;
    std::unique_ptr<EditorWindow> window;
};

// The data files, in the order the start-up check names them.
inline const std::vector<std::string> kDataFiles = {"shp.qax", "qaxdata.idx", "ext.idx", "txt.qax", "pal.qax"};

// Where the editor's window, frame included, is designed to lie on the screen.
inline constexpr Rect kDesignedWindowFrame{217, 235, 640, 480};

class EndToEndTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Writes the sample data set into <product>/data and remembers its bytes.
    void MakeProduct(const sample::SampleOptions& options);
    // Starts the editor from <product>/QaxEdit, and waits until its window
    // is on the screen.
    void StartEditor();
    // The same on a desktop run by a window manager, which frames the
    // window; waits until the frame has the designed size. `bottomPanel`:
    // the height the window manager keeps free at the bottom of the screen,
    // as a panel would.
    void StartEditorUnderWindowManager(int bottomPanel = 0);
    // Waits for the editor to end after its window was closed; how it ended
    // ("exit code 0").
    std::string WaitForEditorToEnd();
    // The window's frame on the screen, as the window manager declares it.
    Rect WindowFrame() const;
    // The editor's home folder, which also holds its configuration folder.
    std::filesystem::path HomeDir() const;
    // Starts the editor again from its directory, on the same display, once
    // the first one has ended: as a user does after a crash.
    void RestartEditor();
    // A second editor of the same product, copied into <product>/<directory>
    // and started on the same display; it ends when the value goes. A
    // directory name that is not UTF-8 cannot be handed to the process
    // launcher: such an editor is started through a link of a plain name.
    RunningEditor StartAnotherEditor(const std::string& directory);

    std::filesystem::path ProductDir() const { return productDir_; }
    std::filesystem::path EditorDir() const { return productDir_ / "QaxEdit"; }
    std::filesystem::path DataFile(const std::string& name) const { return productDir_ / "data" / name; }
    std::filesystem::path TempCopy() const { return EditorDir() / "~temp.fpc"; }

    const std::vector<sample::SampleMember>& Group(int type) const { return dataSet_.groups[type]; }
    // A data file's bytes as the generator wrote them.
    const Bytes& Original(const std::string& name) const;
    // A file of the user's, outside the product directory.
    std::filesystem::path WriteUserFile(const std::string& name, const Bytes& bytes) const;

    const EditorWindow& Window() const { return *window_; }
    QProcess& Editor() { return *editor_; }
    // Holds the editor where it is (SIGSTOP), lets it go on (SIGCONT), or
    // kills it as a crash or a forced quit would (SIGKILL: no clean-up of its
    // own runs) and reaps it.
    void SuspendEditor();
    void ResumeEditor();
    void KillEditor();

    // The files in the editor's directory besides the editor itself.
    std::vector<std::string> FilesBesideEditor() const;
    // The names in the data directory, sorted, but for the editors' lock file.
    std::vector<std::string> DataDirectoryNames() const;
    // The named data files byte for byte as the generator wrote them.
    void ExpectUnchanged(const std::vector<std::string>& names) const;
    // Takes a data file away before the editor starts.
    void RemoveDataFile(const std::string& name);
    // Every data file byte for byte as the generator wrote it (less those
    // taken away), and no other file in the data directory.
    void ExpectDataSetUnchanged() const;

private:
    void Start(bool underWindowManager, int bottomPanel = 0);
    void StartWindowManager(const std::filesystem::path& home, const std::filesystem::path& log, int bottomPanel);
    // Waits until the window manager's frame around `window` has the
    // designed size.
    void WaitForDesignedFrame(const std::string& window) const;
    // Copies the editor into `editorDir`, starts it there with its output in
    // the log `logName`, and waits until its window is on the screen (and,
    // under a window manager, framed at its designed size). Without a
    // layout, the window is probed once it is framed.
    RunningEditor LaunchEditor(const std::filesystem::path& editorDir, const std::string& logName,
                               std::optional<WindowLayout> layout);
    void KeepArtefacts();

    testing::TempDir root_;
    std::filesystem::path productDir_;
    sample::SampleDataSet dataSet_;
    std::map<std::string, Bytes> originals_;
    std::unique_ptr<Desktop> desktop_;
    Process windowManager_;
    Process editor_;
    std::unique_ptr<EditorWindow> window_;
};

}  // namespace qax::e2e
