// Two small widget classes that give Qt's list box and drop-down list the
// events the window's handlers are written for.
#pragma once

#include <QComboBox>
#include <QListWidget>

// A single-selection list box whose userChose() fires for the user's choices
// only: a selection change by mouse or keyboard, or a click on the entry that
// is already selected.  Selections set by the program (SetSelectedSilently)
// raise nothing.
class TPortListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TPortListBox(QWidget* parent = nullptr);
    // Selects row (or nothing, for -1) without raising userChose().
    void SetSelectedSilently(int row);

signals:
    void userChose();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool programSets_ = false;
};

// A drop-down list without typing whose items are kept in an order the
// program decides (the window inserts each name at its sorted place).
// userChanged() fires when the user changes the selected item (mouse in the
// open list, keyboard, wheel), never for the program's changes.  closedUp()
// fires whenever the open list closes, after the choice made in it (if any)
// has taken effect, so that both handlers see the new item.
class TModelComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TModelComboBox(QWidget* parent = nullptr);
    void SetSelectedSilently(int index);
    void InsertSilently(int index, const QString& text);

    void showPopup() override;
    void hidePopup() override;

signals:
    void userChanged();
    void closedUp();

private:
    bool programSets_ = false;
    bool popupOpen_ = false;
};
