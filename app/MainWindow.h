#pragma once

#include <QMainWindow>
#include <functional>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QWebEngineView;
class QWidget;

// The main window "Velora" with its named components: the header strip with
// the banner, the user label, the password box and the login button, the logo
// panel, the web view, the progress bar, the status bar and the menus
// "O programu" and "Hovory". It only draws; TQtDesktop connects it to the logic.
class TMainWindow : public QMainWindow {
public:
    explicit TMainWindow(QWidget* parent = nullptr);

    // Raised when the window is asked to close. It may throw to keep the
    // window open; the error then reaches the default error report.
    std::function<void()> OnCloseQuery;
    // Raised once the window has closed.
    std::function<void()> OnClosed;

    QWidget* Panel3 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QWidget* Panel4 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Image3 = nullptr;
    QWidget* Panel1 = nullptr;
    QWebEngineView* WebBrowser1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    QAction* Npovda1 = nullptr;
    QAction* Verze1 = nullptr;
    QAction* Novakarta1 = nullptr;
    QAction* U6ivatel1 = nullptr;
    // The second menu; other entries about calls join it.
    QMenu* Hovory1 = nullptr;
    QAction* Historiehovor1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
};

// Sky blue, the window's background.
QColor SkyBlue();
