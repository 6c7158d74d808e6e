// Gives the list the click behaviour the editor was designed around: every
// way of choosing a line counts as one click on it. That is a line newly
// selected with the mouse or the keyboard (arrows, Home, End, page keys), and
// a mouse press on the line that is already selected, which shows that member
// again. A selection that becomes empty is not a click on a line.
#pragma once

#include <QListWidget>
#include <QObject>

namespace qax::ui {

// The row of the selected line, or -1 when no line is selected.
int SelectedRow(const QListWidget& list);

class ListClickWatcher : public QObject {
    Q_OBJECT
public:
    explicit ListClickWatcher(QListWidget& list);

signals:
    void lineChosen();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SelectionChanged();
    void ItemPressed(QListWidgetItem* item);

    QListWidget& list_;
    int selectedBeforePress_ = -1;
};

}  // namespace qax::ui
