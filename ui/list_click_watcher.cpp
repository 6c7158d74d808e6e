#include "list_click_watcher.h"

#include <QEvent>

namespace qax::ui {

int SelectedRow(const QListWidget& list) {
    const QList<QListWidgetItem*> selected = list.selectedItems();
    return selected.isEmpty() ? -1 : list.row(selected.first());
}

ListClickWatcher::ListClickWatcher(QListWidget& list) : QObject(&list), list_(list) {
    list_.viewport()->installEventFilter(this);
    connect(&list_, &QListWidget::itemSelectionChanged, this, &ListClickWatcher::SelectionChanged);
    connect(&list_, &QListWidget::itemPressed, this, &ListClickWatcher::ItemPressed);
}

bool ListClickWatcher::eventFilter(QObject* watched, QEvent* event) {
    // Remember the selection before the view handles the press, so that a
    // press that changes nothing can still be told from one that selects.
    if (event->type() == QEvent::MouseButtonPress) selectedBeforePress_ = SelectedRow(list_);
    return QObject::eventFilter(watched, event);
}

void ListClickWatcher::SelectionChanged() {
    if (SelectedRow(list_) >= 0) emit lineChosen();
}

void ListClickWatcher::ItemPressed(QListWidgetItem* item) {
    const int row = list_.row(item);
    const bool unchanged = row == selectedBeforePress_ && row == SelectedRow(list_);
    selectedBeforePress_ = -1;
    if (unchanged) emit lineChosen();
}

}  // namespace qax::ui
