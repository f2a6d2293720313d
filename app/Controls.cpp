#include "app/Controls.h"

#include <QMouseEvent>
#include <QTimer>

TPortListBox::TPortListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::currentRowChanged, this, [this](int) {
        if (!programSets_) emit userChose();
    });
}

void TPortListBox::SetSelectedSilently(int row) {
    programSets_ = true;
    setCurrentRow(row);
    programSets_ = false;
}

void TPortListBox::mousePressEvent(QMouseEvent* event) {
    // A click on the entry that is already selected changes nothing in Qt, yet
    // it is a choice of that port: report it like a change.
    const int before = currentRow();
    const QListWidgetItem* hit = itemAt(event->position().toPoint());
    QListWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && hit && before >= 0 && row(hit) == before &&
        currentRow() == before)
        emit userChose();
}

TModelComboBox::TModelComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    setInsertPolicy(QComboBox::NoInsert);
    connect(this, &QComboBox::currentIndexChanged, this, [this](int) {
        if (!programSets_) emit userChanged();
    });
}

void TModelComboBox::SetSelectedSilently(int index) {
    programSets_ = true;
    setCurrentIndex(index);
    programSets_ = false;
}

void TModelComboBox::InsertSilently(int index, const QString& text) {
    programSets_ = true;
    const bool hadSelection = currentIndex() >= 0;
    insertItem(index, text);
    // Qt selects the first item put into an empty list; the list keeps no
    // selection until the program selects one.
    if (!hadSelection) setCurrentIndex(-1);
    programSets_ = false;
}

void TModelComboBox::showPopup() {
    popupOpen_ = true;
    QComboBox::showPopup();
}

void TModelComboBox::hidePopup() {
    const bool wasOpen = popupOpen_;
    popupOpen_ = false;
    QComboBox::hidePopup();
    // Qt closes the list before it applies the item chosen in it; raising the
    // close-up from the event loop lets the choice (and its change event) come
    // first.
    if (wasOpen) QTimer::singleShot(0, this, [this] { emit closedUp(); });
}
