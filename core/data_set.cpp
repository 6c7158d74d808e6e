#include "data_set.h"

#include <cctype>

namespace qax {

std::string StripLastComponent(const std::string& path, char separator) {
    const auto last = path.rfind(separator);
    return last == std::string::npos ? std::string() : path.substr(0, last);
}

std::string ExeDirOf(const std::string& programPath, char separator) {
    return StripLastComponent(programPath, separator);
}

DataSetPaths DeriveDataSetPaths(const std::string& programPath, char separator) {
    const std::string exeDir = ExeDirOf(programPath, separator);
    const std::string productDir = StripLastComponent(exeDir, separator);
    return DataSetPathsIn(productDir + separator + "data", exeDir, separator);
}

DataSetPaths DataSetPathsIn(const std::string& dataDirectory, const std::string& exeDir, char separator) {
    const std::string sep(1, separator);
    const std::string dataDir = dataDirectory + sep;

    DataSetPaths paths;
    paths.ShpArchivePath = dataDir + "shp.qax";
    paths.IndexPath = dataDir + "qaxdata.idx";
    paths.SectionPath = dataDir + "ext.idx";
    paths.TxtArchivePath = dataDir + "txt.qax";
    paths.PalArchivePath = dataDir + "pal.qax";
    paths.TempPath = exeDir + sep + "~temp.fpc";
    return paths;
}

const std::string& ArchivePathOf(const DataSetPaths& paths, int group) {
    return group == Txt ? paths.TxtArchivePath : paths.ShpArchivePath;
}

const std::string& BannerText() {
    static const std::string kBanner =
        "Corvane Qax Edit\n"
        "Version 0.1\n"
        "Written by the Qax Edit developers\n"
        "2/98";
    return kBanner;
}

std::string ApplicationTitle(const std::string& programPath, char separator) {
    // Windows takes a slash for a separator too: a program started by a path
    // typed with slashes is still QAXEDIT.EXE, titled Qaxedit.
    const auto last = separator == '\\' ? programPath.find_last_of("\\/") : programPath.rfind(separator);
    std::string name = last == std::string::npos ? programPath : programPath.substr(last + 1);
    name = name.substr(0, name.find('.'));
    for (std::size_t i = 1; i < name.size(); ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return name;
}

namespace {

std::string MissingFilesText(FileSystem& fs, const DataSetPaths& paths, bool& allThere) {
    std::string message = "\nCan't find:\n";
    allThere = true;
    for (const std::string* path :
         {&paths.ShpArchivePath, &paths.IndexPath, &paths.SectionPath, &paths.TxtArchivePath, &paths.PalArchivePath}) {
        if (!fs.IsRegularFile(*path)) {
            allThere = false;
            message += *path + "\n";
        }
    }
    return message;
}

std::string IndexLengthProblem(FileSystem& fs, const std::string& indexPath, std::uint64_t& length) {
    try {
        auto index = fs.Open(indexPath, OpenMode::Read);
        length = index->Length();
        index->Close();
        return {};
    } catch (const IoError& error) {
        return error.Reason().message();
    }
}

}  // namespace

StartUpResult StartUpCheck(FileSystem& fs, const std::string& programPath) {
    return StartUpCheck(fs, DeriveDataSetPaths(programPath));
}

StartUpResult StartUpCheck(FileSystem& fs, const DataSetPaths& dataSetPaths) {
    StartUpResult result;
    result.paths = dataSetPaths;
    const DataSetPaths& paths = result.paths;

    bool allThere = false;
    const std::string missing = MissingFilesText(fs, paths, allThere);
    if (!allThere) {
        result.status = StartUpStatus::MissingFiles;
        result.paneText = BannerText() + missing + "\nYou must EXIT !!!";
        return result;
    }

    const SectionLoadResult section = LoadSectionTable(fs, paths.SectionPath);
    if (section.status == SectionLoadStatus::CannotOpen) {
        result.status = StartUpStatus::SectionUnreadable;
        result.paneText = BannerText() + "Could not open:\n" + paths.SectionPath + "You must Exit!";
        return result;
    }
    if (section.status != SectionLoadStatus::Loaded) {
        result.status = StartUpStatus::SectionDamaged;
        const char* why = section.status == SectionLoadStatus::TooShort
                              ? "it is shorter than the 96 bytes of its six records"
                              : "it could not be read";
        result.paneText = BannerText() + "\n\nThe section file\n" + paths.SectionPath + "\nis damaged: " + why +
                          ".\nNothing was changed. You must Exit!";
        return result;
    }

    std::uint64_t indexLength = 0;
    const std::string indexProblem = IndexLengthProblem(fs, paths.IndexPath, indexLength);
    if (!indexProblem.empty()) {
        result.status = StartUpStatus::IndexUnreadable;
        result.paneText =
            BannerText() + "\n\nCould not open:\n" + paths.IndexPath + "\n(" + indexProblem + ")\nYou must Exit!";
        return result;
    }
    const std::string tableProblem = SectionTableProblem(section.table, indexLength);
    if (!tableProblem.empty()) {
        result.status = StartUpStatus::SectionDamaged;
        result.paneText = BannerText() + "\n\nThe section file\n" + paths.SectionPath +
                          "\ndoes not fit the index: " + tableProblem + ".\nNothing was changed. You must Exit!";
        return result;
    }

    result.status = StartUpStatus::Ready;
    result.table = section.table;
    result.paneText = BannerText();
    return result;
}

}  // namespace qax
