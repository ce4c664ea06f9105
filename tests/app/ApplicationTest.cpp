// Runs inside a TApplication instead of the shared test main, so that errors
// really travel through the application object's notify.
#include "Application.h"

#include "ApplicationTestMain.h"
#include "CallHistory.h"
#include "CallHistoryModel.h"
#include "HistoryWindow.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "SignalCloser.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

// Runs the event loop until done() or 30 seconds have passed.
template <typename Done> bool Wait(Done done) {
    const QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

TEST(Application, ErrorEscapingAHandlerIsReportedAndTheLoopGoesOn) {
    QStringList reported;
    gApp->OnException = [&](const QString& text) {
        reported << text;
    };
    bool later = false;
    QObject context;
    QMetaObject::invokeMethod(
        &context, [] { throw std::runtime_error("Big String for send"); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        &context, [&] { later = true; }, Qt::QueuedConnection);
    EXPECT_TRUE(Wait([&] { return later; }));
    EXPECT_EQ(reported, QStringList{QStringLiteral("Big String for send")});
}

TEST(Application, WindowStaysOpenWhenClosingFails) {
    QStringList reported;
    gApp->OnException = [&](const QString& text) {
        reported << text;
    };
    TMainWindow window;
    window.show();
    bool closed = false;
    window.OnClosed = [&] {
        closed = true;
    };
    window.OnCloseQuery = [] {
        throw std::runtime_error("Cannot write file");
    };
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(closed);
    EXPECT_EQ(reported, QStringList{QStringLiteral("Cannot write file")});

    window.OnCloseQuery = nullptr;
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(closed);
}

TEST(Application, HiddenWindowClosesThroughItsHandlerToo) {
    TMainWindow window;
    window.show();
    window.hide(); // as after a double click on the tray icon
    int queries = 0;
    window.OnCloseQuery = [&] {
        ++queries;
    };
    EXPECT_TRUE(window.close());
    EXPECT_EQ(queries, 1);
}

TEST(Application, WindowHasItsNamedComponentsAndTexts) {
    TMainWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Velora"));
    EXPECT_EQ(window.palette().color(QPalette::Window), SkyBlue());
    const QList<QAction*> menus = window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("O programu"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("Hovory"));
    EXPECT_EQ(menus[1]->menu()->actions().value(0), window.Historiehovor1);
    EXPECT_EQ(window.Historiehovor1->text(), QStringLiteral("Historie hovorů"));
    QStringList entries;
    for (QAction* entry : menus[0]->menu()->actions())
        entries << entry->text() + (entry->isEnabled() ? "" : " (off)");
    EXPECT_EQ(entries,
              (QStringList{QStringLiteral("Nápověda"), QStringLiteral("Verze programu"),
                           QStringLiteral("Nova karta (off)"), QStringLiteral("Uživatel")}));
    EXPECT_EQ(menus[1]->menu()->actions().value(2), window.Spoustet1);
    EXPECT_EQ(window.Spoustet1->text(), QStringLiteral("Spouštět po přihlášení"));
    EXPECT_TRUE(window.Spoustet1->isCheckable());
    EXPECT_EQ(window.Label2->text(), QStringLiteral("uživatel"));
    EXPECT_EQ(window.Label1->text(), QStringLiteral("Heslo"));
    EXPECT_EQ(window.Edit1->echoMode(), QLineEdit::Password);
    EXPECT_EQ(window.Button1->text(), QStringLiteral("Přihlásit se"));
    EXPECT_TRUE(window.Button1->isDefault());
    EXPECT_EQ(window.Panel3->height(), 120);
    EXPECT_EQ(window.Panel4->width(), 173);
    EXPECT_EQ(window.Image2->height(), 80);
    EXPECT_FALSE(window.Image1->pixmap().isNull()) << "the banner did not decode";
    EXPECT_TRUE(window.ProgressBar1->isHidden());
    EXPECT_EQ(window.ProgressBar1->height(), 17);
    EXPECT_EQ(window.StatusPanel0->width(), 300);
    EXPECT_EQ(window.StatusPanel1->width(), 50);
    for (const char* name :
         {"Panel3", "Image1", "Label2", "Label1", "Edit1", "Button1", "Panel4", "Image2", "Image3",
          "Panel1", "WebBrowser1", "ProgressBar1", "StatusBar1"})
        EXPECT_NE(window.findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
}

TEST(Application, HistoryWindowFiltersAsYouTypeAndOpensByEnterOrDoubleClick) {
    CallHistory history({"1_kdo=111", "1_nazev=Účetní oddělení", "1_odkaz=http://crm/1",
                         "2_kdo=222", "2_nazev=Petr", "2_odkaz=http://crm/2"});
    TCallHistoryModel model(history);
    THistoryWindow window(model);
    window.show();
    QList<int> opened;
    window.OnOpen = [&](int row) {
        opened << row;
    };
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Historie hovorů"));
    EXPECT_EQ(window.Count->text(), QStringLiteral("Hovorů: 2"));

    window.Search->setText(QStringLiteral("UCETNI"));
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(window.Count->text(), QStringLiteral("Nalezeno 1 z 2 hovorů"));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(window.Search, &enter);
    EXPECT_EQ(opened, QList<int>{0});
    EXPECT_EQ(model.Link(0), QStringLiteral("http://crm/1"));

    window.Search->clear();
    ASSERT_EQ(model.rowCount(), 2);
    const QRect second = window.Table->visualRect(model.index(1, 1));
    QMouseEvent press(QEvent::MouseButtonPress, second.center(),
                      window.Table->viewport()->mapToGlobal(second.center()), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, second.center(),
                    window.Table->viewport()->mapToGlobal(second.center()), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.Table->viewport(), &press);
    QCoreApplication::sendEvent(window.Table->viewport(), &dbl);
    EXPECT_EQ(opened, (QList<int>{0, 1}));
    EXPECT_EQ(model.Caller(1), QStringLiteral("111"));
}

TEST(Application, WithoutATrayTheBalloonIsAClickablePopup) {
    TQtDesktop desktop;
    ASSERT_FALSE(desktop.HasSystemTray()) << "the offscreen platform has no tray";
    int clicks = 0;
    desktop.OnBalloonClick = [&] {
        ++clicks;
    };
    desktop.SetBalloonTitle(QStringLiteral("111"));
    desktop.SetBalloonTimeout(10000);
    desktop.SetBalloonHint(QStringLiteral("<b>Účetní</b> oddělení"));
    desktop.ShowBalloonHint();
    QWidget* popup = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("BalloonPopup") && w->isVisible())
            popup = w;
    ASSERT_NE(popup, nullptr);
    QStringList texts;
    for (QLabel* label : popup->findChildren<QLabel*>())
        if (!label->text().isEmpty()) {
            texts << label->text();
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
        }
    EXPECT_EQ(texts,
              (QStringList{QStringLiteral("111"), QStringLiteral("<b>Účetní</b> oddělení")}));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(popup, &press);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(popup->isVisible());
}

TEST(Application, QtTimerFollowsTheEnablingRules) {
    TQtDesktop desktop;
    int ticks = 0;
    desktop.OnTimer = [&] {
        ++ticks;
    };
    desktop.SetTimerInterval(30);
    desktop.SetTimerEnabled(true);
    EXPECT_TRUE(Wait([&] { return ticks >= 2; }));
    desktop.SetTimerEnabled(false);
    EXPECT_FALSE(desktop.TimerEnabled());
    const int stopped = ticks;
    QThread::msleep(60);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, stopped);
}

TEST(Application, SignalsBecomeCallsOnTheGuiThread) {
    TSignalCloser closer;
    int signals_ = 0;
    closer.OnSignal = [&] {
        ++signals_;
    };
    std::raise(SIGTERM);
    std::raise(SIGINT);
    EXPECT_TRUE(Wait([&] { return signals_ == 2; }));
}

} // namespace
