// Times what the window adds to the work of the core, on the offscreen
// platform, with and without an accessibility client:
//
//   window_bench [--dir DIR] [ROUNDS]     (default: the system's temporary
//                                          directory, 3 rounds; medians)
//
// 1. A Shp replacement of the middle member of a 256 MiB shp.qax (8 members
//    of 32 MiB), driven through TMainForm (Replace Selection, with its marks,
//    event passes, busy cursor and listing afterwards), against the same
//    replacement through the core alone, alternating on the same files.
// 2. The cost of one progress mark as the pane's text grows, appended as the
//    window does it now and, for comparison, set again as a whole.
// 3. Listing a Txt group of 100,000 entries in the window's list.
//
// The accessibility client: on a desktop, a screen reader or any AT-SPI
// client on the session bus makes the platform switch accessibility on; Qt
// then builds an event for every change of a widget (for the text pane: the
// text inserted and removed) and its bridge copies that text onto the bus.
// Here the platform's accessibility is switched on the same way, and an
// update handler stands in for the bridge: it takes each event's text and
// converts it to UTF-8, as marshalling it onto the bus would. The bus itself
// and the client's own work are not modelled.
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <QAccessible>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "bench_support.h"
#include "data_set.h"
#include "ui_fixture.h"

namespace {

namespace fs = std::filesystem;
using qax::bench::Median;
using qax::bench::SecondsFor;

constexpr std::uint32_t kShpMembers = 8;
constexpr std::uint32_t kShpMemberSize = 32u << 20;
constexpr int kMiddleShp = kShpMembers / 2;
constexpr std::uint32_t kListedEntries = 100000;

// What the stand-in bridge has been handed. An update handler is a plain
// function, so what it counts can only live here.
struct ClientTraffic {
    long events = 0;
    long long textBytes = 0;
};
ClientTraffic clientTraffic;

void ModelledClient(QAccessibleEvent* event) {
    ++clientTraffic.events;
    QString text;
    switch (event->type()) {
        case QAccessible::TextInserted:
            text = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
            break;
        case QAccessible::TextRemoved:
            text = static_cast<QAccessibleTextRemoveEvent*>(event)->textRemoved();
            break;
        case QAccessible::TextUpdated: {
            auto* update = static_cast<QAccessibleTextUpdateEvent*>(event);
            text = update->textRemoved() + update->textInserted();
            break;
        }
        default:
            break;
    }
    clientTraffic.textBytes += text.toUtf8().size();
}

// Switches the platform's accessibility on as a client appearing on the bus
// would, with the stand-in bridge; off again on the way out.
class AccessibilityClient {
public:
    AccessibilityClient() {
        QAccessible::installUpdateHandler(ModelledClient);
        Platform().setActive(true);
        if (!QAccessible::isActive()) throw std::runtime_error("accessibility could not be switched on");
    }
    ~AccessibilityClient() {
        Platform().setActive(false);
        QAccessible::installUpdateHandler(nullptr);
    }
    AccessibilityClient(const AccessibilityClient&) = delete;
    AccessibilityClient& operator=(const AccessibilityClient&) = delete;

private:
    static QPlatformAccessibility& Platform() {
        QPlatformAccessibility* platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
        if (platform == nullptr) throw std::runtime_error("the platform has no accessibility");
        return *platform;
    }
};

// The window on a product, shown, the Shp group listed, the replacement
// file loaded.
struct ShownEditor {
    ShownEditor(const qax::testing::Product& product, const fs::path& replacement) : editor(product) {
        editor.form.show();
        if (!QTest::qWaitForWindowExposed(&editor.form)) throw std::runtime_error("the window was never shown");
        editor.form.TypeButton(qax::Shp)->click();
        editor.prompts.answers.push_back(QString::fromStdString(replacement.string()));
        editor.form.LoadBtnClick();
    }

    double ReplaceMiddleMember() {
        editor.ClickLine(kMiddleShp);
        const double seconds = SecondsFor([&] { editor.form.ReplaceBtnClick(); });
        if (!editor.prompts.messages.empty() || editor.form.PaneText() != qax::kShpDoneText)
            throw std::runtime_error("the window's replacement did not complete");
        return seconds;
    }

    qax::testing::Editor editor;
};

double CoreReplacement(const qax::testing::Product& product, const fs::path& replacement) {
    qax::SystemFileSystem files;
    const qax::StartUpResult startUp = qax::StartUpCheck(files, product.ProgramPath());
    if (!startUp.Ready()) throw std::runtime_error("start-up failed: " + startUp.paneText);
    qax::bench::QuietSink sink;
    const qax::ListedLine selected{
        kMiddleShp, qax::FillCatalogue(files, startUp.paths.IndexPath, startUp.table, qax::Shp).at(kMiddleShp)};
    qax::ArchiveOutcome outcome = qax::ArchiveOutcome::Failed;
    const double seconds = SecondsFor([&] {
        outcome = qax::ReplaceShpMember({files, startUp.paths, startUp.table, sink}, selected, replacement.string());
    });
    if (outcome != qax::ArchiveOutcome::Done) throw std::runtime_error("the core's replacement did not complete");
    return seconds;
}

struct WindowShare {
    std::vector<double> core, window, added;
};

void PrintShare(const char* client, const WindowShare& share) {
    std::printf(
        "  %-24s core alone %6.3f s, through the window %6.3f s: the window adds %+5.1f %%  (target 10 %%: %s)\n",
        client, Median(share.core), Median(share.window), 100 * Median(share.added),
        Median(share.added) <= 0.10 ? "met" : "MISSED");
}

// Returns the peak memory above the shown window before the first
// replacement, in KiB.
long MeasureReplacements(int rounds) {
    qax::sample::SampleOptions options;
    options.shpCount = kShpMembers;
    options.shpMeanSize = kShpMemberSize;
    options.exactSizes = true;
    const qax::testing::SampleProduct product(options);
    const fs::path replacement = product.Dir() / "new.shp";
    qax::testing::WriteText(replacement, std::string(kShpMemberSize - (1u << 20), 'S'));
    ShownEditor shown(product, replacement);
    const bool peakReset = qax::bench::ResetPeakResident();
    const long idleKiB = qax::bench::ResidentKiB();

    WindowShare plain, withClient;
    long eventsPerReplacement = 0;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d of %d\n", round + 1, rounds);
        std::fflush(stdout);
        for (WindowShare* share : {&plain, &withClient}) {
            std::optional<AccessibilityClient> client;
            if (share == &withClient) client.emplace();
            ::sync();
            share->core.push_back(CoreReplacement(product, replacement));
            ::sync();
            const long eventsBefore = clientTraffic.events;
            share->window.push_back(shown.ReplaceMiddleMember());
            if (client) eventsPerReplacement = clientTraffic.events - eventsBefore;
            share->added.push_back(share->window.back() / share->core.back() - 1);
        }
    }
    std::printf("\nShp replacement, middle member of a %u MiB shp.qax, medians of %d rounds:\n",
                (kShpMembers * kShpMemberSize) >> 20, rounds);
    PrintShare("no accessibility client", plain);
    PrintShare("accessibility client", withClient);
    std::printf("  (the client was handed %ld events per replacement)\n", eventsPerReplacement);
    if (!peakReset) return -1;
    return qax::bench::PeakResidentKiB() - idleKiB;
}

// The window's microseconds per mark over `marks` marks made the way `mark`
// makes them. Before each mark, kMarkPace of busy waiting stands in for the
// copy between two marks (a 256 MiB replacement makes some 270 marks in
// about half a second), so that work the window spreads over time is
// counted as it would be; the waiting itself is not.
constexpr std::chrono::microseconds kMarkPace{2000};

template <typename Mark>
double MicrosecondsPerMark(qax::ui::TMainForm& form, int marks, Mark&& mark) {
    double windowSeconds = 0;
    for (int i = 0; i < marks; ++i) {
        const auto copyEnds = std::chrono::steady_clock::now() + kMarkPace;
        while (std::chrono::steady_clock::now() < copyEnds) {
        }
        windowSeconds += SecondsFor([&] {
            mark();
            form.ProcessEvents();
        });
    }
    return windowSeconds * 1e6 / marks;
}

void MeasureMarks(const qax::testing::Product& product) {
    qax::testing::Editor editor(product);
    qax::ui::TMainForm& form = editor.form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) throw std::runtime_error("the window was never shown");
    constexpr int kBatch = 200;
    constexpr int kBatches = 10;
    const auto appended = [&] { form.AppendPaneText(qax::kShpProgressMark); };
    const auto setWhole = [&] { form.SetPaneText(form.PaneText() + qax::kShpProgressMark); };

    std::printf(
        "\nthe window's cost of one progress mark (the mark and one event pass), microseconds, batches of %d marks "
        "%lld us apart:\n",
        kBatch, static_cast<long long>(kMarkPace.count()));
    std::printf("  %-24s %-16s %12s %12s\n", "client", "mark", "first batch", "last batch");
    for (bool withClient : {false, true}) {
        std::optional<AccessibilityClient> client;
        if (withClient) client.emplace();
        for (bool append : {true, false}) {
            form.ClearPane();
            form.SetPaneText(qax::kShpStartText);
            double first = 0;
            double last = 0;
            for (int batch = 0; batch < kBatches; ++batch) {
                const double cost =
                    append ? MicrosecondsPerMark(form, kBatch, appended) : MicrosecondsPerMark(form, kBatch, setWhole);
                if (batch == 0) first = cost;
                last = cost;
            }
            const std::string expected = qax::kShpStartText + [&] {
                std::string marks;
                for (int i = 0; i < kBatch * kBatches; ++i) marks += qax::kShpProgressMark;
                return marks;
            }();
            if (form.PaneText() != expected) throw std::runtime_error("the pane does not read back its marks");
            std::printf("  %-24s %-16s %12.1f %12.1f\n", withClient ? "accessibility client" : "none",
                        append ? "appended" : "whole text set", first, last);
        }
    }
    std::printf("  (the last batch starts with %zu characters in the pane)\n",
                std::string(qax::kShpStartText).size() + 2 * kBatch * (kBatches - 1));
}

void MeasureListing(int rounds) {
    qax::sample::SampleOptions options;
    options.txtCount = kListedEntries;
    options.txtMeanSize = 16;
    options.shpCount = 4;
    const qax::testing::SampleProduct product(options);
    qax::testing::Editor editor(product);
    editor.form.show();
    if (!QTest::qWaitForWindowExposed(&editor.form)) throw std::runtime_error("the window was never shown");
    editor.form.TypeButton(qax::Txt)->setChecked(true);

    std::printf("\nlisting %u Txt entries in the window (filled and painted), medians of %d:\n", kListedEntries,
                rounds);
    for (bool withClient : {false, true}) {
        std::optional<AccessibilityClient> client;
        if (withClient) client.emplace();
        std::vector<double> seconds;
        for (int round = 0; round < rounds; ++round) {
            seconds.push_back(SecondsFor([&] {
                editor.form.TypesRGClick();
                QCoreApplication::processEvents();
            }));
            if (qax::testing::FileLB(editor.form)->count() != static_cast<int>(kListedEntries))
                throw std::runtime_error("the list does not hold every entry");
        }
        std::printf("  %-24s %6.3f s  (target 0.5 s: %s)\n", withClient ? "accessibility client" : "none",
                    Median(seconds), Median(seconds) < 0.5 ? "met" : "MISSED");
    }
    MeasureMarks(product);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    try {
        const qax::bench::RunOptions options =
            qax::bench::ParseRunOptions(argc, argv, "usage: window_bench [--dir DIR] [ROUNDS]");
        // The products are made in temporary directories under DIR.
        ::setenv("TMPDIR", options.dir.c_str(), 1);
        const long peakKiB = MeasureReplacements(options.rounds);
        MeasureListing(options.rounds);
        if (peakKiB < 0)
            std::printf("\npeak memory: the peak could not be reset, no figure\n");
        else
            std::printf("\npeak memory above the shown window during the replacements: %.1f MiB (target < 64 MiB)\n",
                        static_cast<double>(peakKiB) / 1024.0);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
