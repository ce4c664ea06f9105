#pragma once

#include <QMainWindow>
#include <functional>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QWebEngineView;
class QWidget;

// The main window "Velora" with its named components: the header strip with
// the banner, the user label, the password box and the login button, the logo
// panel, the web view, the progress bar, the status bar, the menus
// "O programu" and "Hovory", and the tray icon's menu. It only draws;
// TQtDesktop connects it to the logic.
class TMainWindow : public QMainWindow {
public:
    explicit TMainWindow(QWidget* parent = nullptr);

    // Asked first when the window is asked to close; false keeps it open
    // without a word.
    std::function<bool()> CanClose;
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
    QCheckBox* CheckBox1 = nullptr; // "Zapamatovat heslo"
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
    QAction* Spoustet1 = nullptr; // "Hovory", "Spouštět po přihlášení"
    // The tray icon's menu: "Zobrazit", "Přihlásit se"/"Odhlásit", "Historie
    // hovorů" (the same entry as in "Hovory"), "Konec".
    QMenu* PopupMenu1 = nullptr;
    QAction* Zobrazit1 = nullptr;
    QAction* Prihlasit1 = nullptr;
    QAction* Konec1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
};

// Sky blue, the window's background.
QColor SkyBlue();
