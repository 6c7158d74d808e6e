// Shared pieces of the window tests: scripted answers for the dialog and the
// message boxes, and product directories for the window to start on.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "index_builder.h"
#include "main_form.h"
#include "sample_data_set.h"
#include "temp_dir.h"
#include "user_prompts.h"

namespace qax::testing {

// Answers the dialog from a script (cancel when the script is empty) and
// records every message box instead of showing it, so nothing ever blocks.
class ScriptedPrompts : public ui::UserPrompts {
public:
    struct Message {
        QString text;
        QString caption;
        QMessageBox::Icon icon;
    };

    std::optional<QString> RunOpenDialog(QFileDialog& dialog) override {
        dialogFilters.push_back(dialog.nameFilters());
        if (answers.empty()) return std::nullopt;
        const QString answer = answers.front();
        answers.pop_front();
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    }
    void ShowMessageBox(QWidget*, const QString& text, const QString& caption, QMessageBox::Icon icon) override {
        messages.push_back({text, caption, icon});
    }

    std::deque<QString> answers;             // an empty answer: the user cancels
    std::vector<QStringList> dialogFilters;  // the filters of each dialog run
    std::vector<Message> messages;
};

// The window's control named `name`, found by its object name as any client
// of the window finds it. A window without that control, or with one of
// another class, ends the test program: nothing after it could be checked.
template <class T>
T* Control(const QWidget& form, const char* name) {
    const QList<T*> found = form.findChildren<T*>(QString::fromLatin1(name));
    if (found.size() != 1)
        qFatal("the window has %d %s named %s, not one", static_cast<int>(found.size()),
               T::staticMetaObject.className(), name);
    return found.front();
}

inline QTextEdit* TextRichEdit(const QWidget& form) {
    return Control<QTextEdit>(form, "TextRichEdit");
}
inline QListWidget* FileLB(const QWidget& form) {
    return Control<QListWidget>(form, "FileLB");
}
inline QGroupBox* TypesRG(const QWidget& form) {
    return Control<QGroupBox>(form, "TypesRG");
}
inline QPushButton* LoadBtn(const QWidget& form) {
    return Control<QPushButton>(form, "LoadBtn");
}
inline QLabel* FileLbl(const QWidget& form) {
    return Control<QLabel>(form, "FileLbl");
}
inline QFileDialog* OpenDialog1(const QWidget& form) {
    return Control<QFileDialog>(form, "OpenDialog1");
}
inline QPushButton* ReplaceBtn(const QWidget& form) {
    return Control<QPushButton>(form, "ReplaceBtn");
}
inline QPushButton* ExtractBtn(const QWidget& form) {
    return Control<QPushButton>(form, "ExtractBtn");
}

// A product directory: <product>/data holds the data set and the program
// runs from <product>/edit, one level below it. `name` is the product
// directory's own name, in the file system's encoding (UTF-8).
class Product {
public:
    explicit Product(const std::string& name = "Corvane") : dir_(root_.Path() / PathFromUtf8(name)) {
        std::filesystem::create_directories(dir_ / "edit");
    }

    std::string ProgramPath() const { return Utf8Of(dir_ / "edit" / "qaxedit"); }
    std::filesystem::path DataFile(const std::string& name) const { return dir_ / "data" / name; }
    const std::filesystem::path& Dir() const { return dir_; }

private:
    TempDir root_;
    std::filesystem::path dir_;
};

// The generated sample data set.
class SampleProduct : public Product {
public:
    explicit SampleProduct(const sample::SampleOptions& options = {})
        : set_(sample::WriteSampleDataSet(Dir(), options)) {}

    const std::vector<sample::SampleMember>& Group(int group) const { return set_.groups[group]; }
    std::string LineOf(int group, std::size_t i) const {
        const auto& m = Group(group)[i];
        return FormatCatalogueLine({m.name, static_cast<std::int32_t>(m.size), m.offset});
    }

    // Text member i as the pane reads it back: its line breaks are line feeds.
    std::string TextAsShown(std::size_t i) const {
        const auto& m = Group(Txt)[i];
        const std::vector<unsigned char> archive = ReadBytes(DataFile("txt.qax"));
        std::string shown;
        for (std::size_t at = m.offset; at < m.offset + m.size; ++at) {
            if (archive[at] == '\r' && at + 1 < m.offset + m.size && archive[at + 1] == '\n') continue;
            shown += static_cast<char>(archive[at]);
        }
        return shown;
    }

private:
    sample::SampleDataSet set_;
};

struct TextMember {
    std::string name;
    std::string bytes;
};

// A data set whose text members are given byte for byte; one Shp member, no
// others.
class TextProduct : public Product {
public:
    explicit TextProduct(std::initializer_list<TextMember> members) : TextProduct("Corvane", members) {}
    TextProduct(const std::string& name, std::initializer_list<TextMember> members) : Product(name) {
        std::vector<RawEntry> entries;
        std::string archive;
        for (const auto& m : members) {
            entries.push_back(
                {m.name, static_cast<std::uint32_t>(m.bytes.size()), static_cast<std::uint32_t>(archive.size())});
            archive += m.bytes;
        }
        entries.push_back({"SHAPE", 4, 0});
        const auto txtCount = static_cast<std::uint32_t>(members.size());
        WriteBytes(DataFile("qaxdata.idx"), IndexBytes(static_cast<std::uint32_t>(entries.size()), entries));
        WriteBytes(DataFile("ext.idx"),
                   SectionBytes({txtCount, txtCount + 1, txtCount + 1, txtCount + 1, txtCount + 1, txtCount + 1}));
        WriteText(DataFile("txt.qax"), archive);
        WriteText(DataFile("shp.qax"), "SHP!");
        WriteText(DataFile("pal.qax"), std::string(768, '\x10'));
    }
};

// A window on a product, with the real file system and scripted prompts.
struct Editor {
    explicit Editor(const Product& product) : form(product.ProgramPath(), fs, prompts) {}

    // Shows the window and gives it the focus, for mouse and keyboard tests.
    bool ShowActive() {
        form.show();
        QApplication::setActiveWindow(&form);
        return QTest::qWaitForWindowActive(&form);
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (int row = 0; row < FileLB(form)->count(); ++row) lines.push_back(form.CatalogueLine(row));
        return lines;
    }
    void ClickLine(int row) {
        QListWidget& list = *FileLB(form);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.item(row)).center());
    }

    SystemFileSystem fs;
    ScriptedPrompts prompts;
    ui::TMainForm form;
};

}  // namespace qax::testing
