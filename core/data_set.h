// Where the data set lies, and the start-up check that it is all there.
//
// Everything is found from the editor's own path: the data set is the `data`
// directory in the parent of the editor's directory, and the temporary copy
// used while rebuilding an archive lies beside the editor.
#pragma once

#include <optional>
#include <string>

#include "file_access.h"
#include "index_file.h"

namespace qax {

// The separator of the paths the system gives (the program's own path) and
// of those the data set's paths are made of.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

struct DataSetPaths {
    std::string ShpArchivePath;
    std::string IndexPath;
    std::string SectionPath;
    std::string TxtArchivePath;
    std::string PalArchivePath;
    std::string TempPath;
};

// The characters of `path` before its last separator; empty when it has none.
std::string StripLastComponent(const std::string& path, char separator = kPathSeparator);

// ExeDir: the program's directory, without a trailing separator.
std::string ExeDirOf(const std::string& programPath, char separator = kPathSeparator);

// The six paths derived from the running program's full path.
DataSetPaths DeriveDataSetPaths(const std::string& programPath, char separator = kPathSeparator);

// The six paths for the data set in `dataDir`, with the temporary copy in
// `exeDir` (both without a trailing separator): for a program told where
// the data set is rather than finding it from its own place.
DataSetPaths DataSetPathsIn(const std::string& dataDir, const std::string& exeDir, char separator = kPathSeparator);

// The archive that holds the members of `group`: txt.qax for Txt, shp.qax
// for Shp (the only groups with an archive).
const std::string& ArchivePathOf(const DataSetPaths& paths, int group);

// The full path of the running program as the system knows it (byte for
// byte on POSIX, UTF-8 on Windows); nothing when the system cannot tell.
std::optional<std::string> RunningProgramPath();

// Title, version, credit and date, joined by line feeds, no final line feed.
const std::string& BannerText();

// The application's title: the program's file name without its directory,
// cut at its first dot, every character after the first in lower case.
std::string ApplicationTitle(const std::string& programPath, char separator = kPathSeparator);

enum class StartUpStatus {
    Ready,              // all files found, section table loaded and sound
    MissingFiles,       // one or more of the five data files is not there
    SectionUnreadable,  // ext.idx could not be opened
    SectionDamaged,     // ext.idx is too short or its Txt or Shp bounds do not fit the index
    IndexUnreadable     // qaxdata.idx could not be opened to check the bounds
};

struct StartUpResult {
    StartUpStatus status = StartUpStatus::MissingFiles;
    DataSetPaths paths;
    SectionTable table;    // all zero unless Ready
    std::string paneText;  // what the text pane must show
    bool Ready() const { return status == StartUpStatus::Ready; }
};

// Derives the paths, checks the five data files (in the order shp, index,
// section, txt, pal), loads and checks the section table, and says what the
// text pane shows. Touches no window and writes nothing.
StartUpResult StartUpCheck(FileSystem& fs, const std::string& programPath);
// The same check on paths found another way.
StartUpResult StartUpCheck(FileSystem& fs, const DataSetPaths& paths);

}  // namespace qax
