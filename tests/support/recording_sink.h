// A report sink that records what the core asked the window to do.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "report_sink.h"

namespace qax::testing {

struct ShownMessage {
    std::string text;
    std::string caption;
};

class RecordingSink : public ReportSink {
public:
    void SetPaneText(const std::string& text) override {
        pane = text;
        paneHistory.push_back(text);
    }
    // Recorded like a whole text set, so the history shows the pane after each step.
    void AppendPaneText(const std::string& text) override {
        pane += text;
        paneHistory.push_back(pane);
        ++appends;
    }
    void ClearPane() override {
        pane.clear();
        ++clears;
    }
    std::string PaneText() const override { return pane; }
    void RepaintPane() override { ++repaints; }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        messages.push_back({text, caption});
    }
    void SetBusyCursor(bool busy) override { busyHistory.push_back(busy); }
    void ProcessEvents() override {
        ++eventPasses;
        if (onProcessEvents) onProcessEvents();
    }

    std::string pane;
    std::vector<std::string> paneHistory;
    std::vector<ShownMessage> messages;
    std::vector<bool> busyHistory;
    int clears = 0;
    int appends = 0;
    int repaints = 0;
    int eventPasses = 0;
    std::function<void()> onProcessEvents;  // runs inside each pass, as a click would
};

}  // namespace qax::testing
