#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QTableView;
class TCallHistoryModel;

// The window "Historie hovorů": a search box above the table of calls, newest first. Typing
// filters the calls; Enter or a double click opens a call; the context menu copies the
// caller's number. It only draws and hands the user's choice on.
class THistoryWindow : public QWidget {
public:
    explicit THistoryWindow(TCallHistoryModel& model, QWidget* parent = nullptr);

    // Raised with the model's row when the user opens a call.
    std::function<void(int row)> OnOpen;

    QLineEdit* Search = nullptr;
    QTableView* Table = nullptr;
    QLabel* Count = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OpenCurrent();
    void ShowCount();

    TCallHistoryModel& FModel;
};
