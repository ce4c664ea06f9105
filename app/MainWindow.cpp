#include "MainWindow.h"

#include "JpegImage.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWebEngineView>

namespace {

QByteArray Resource(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <typename T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

QColor SkyBlue() {
    return QColor(166, 202, 240);
}

TMainWindow::TMainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Velora"));
    setObjectName(QStringLiteral("Form1"));
    setWindowIcon(QIcon(QStringLiteral(":/velora/icon.png")));
    QPalette sky = palette();
    sky.setColor(QPalette::Window, SkyBlue());
    setPalette(sky);
    setAutoFillBackground(true);
    resize(1094, 696);

    auto* menu = menuBar()->addMenu(QStringLiteral("O programu"));
    Npovda1 = Named(menu->addAction(QStringLiteral("Nápověda")), "Npovda1");
    Verze1 = Named(menu->addAction(QStringLiteral("Verze programu")), "Verze1");
    Novakarta1 = Named(menu->addAction(QStringLiteral("Nova karta")), "Novakarta1");
    Novakarta1->setEnabled(false);
    U6ivatel1 = Named(menu->addAction(QStringLiteral("Uživatel")), "U6ivatel1");
    Hovory1 = Named(menuBar()->addMenu(QStringLiteral("Hovory")), "Hovory1");
    Historiehovor1 = Named(Hovory1->addAction(QStringLiteral("Historie hovorů")), "Historiehovor1");
    Hovory1->addSeparator();
    Spoustet1 = Named(Hovory1->addAction(QStringLiteral("Spouštět po přihlášení")), "Spoustet1");
    Spoustet1->setCheckable(true);

    PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
    Zobrazit1 = Named(PopupMenu1->addAction(QStringLiteral("Zobrazit")), "Zobrazit1");
    Prihlasit1 = Named(PopupMenu1->addAction(QStringLiteral("Přihlásit se")), "Prihlasit1");
    PopupMenu1->addAction(Historiehovor1);
    PopupMenu1->addSeparator();
    Konec1 = Named(PopupMenu1->addAction(QStringLiteral("Konec")), "Konec1");

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel3 = Named(new QWidget(central), "Panel3");
    Panel3->setFixedHeight(120);
    auto* header = new QHBoxLayout(Panel3);
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(0);

    // The banner is stretched over the strip; the login controls sit on top of it.
    Image1 = Named(new QLabel(Panel3), "Image1");
    Image1->setPixmap(
        QPixmap::fromImage(DecodeJpeg(Resource(QStringLiteral(":/velora/banner.jpg")))));
    Image1->setScaledContents(true);
    Image1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    header->addWidget(Image1, 1);

    Label2 = Named(new QLabel(QStringLiteral("uživatel"), Panel3), "Label2");
    Label2->setTextFormat(Qt::PlainText);
    Label2->move(9, 16);
    Label2->setMinimumWidth(320);
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    Label1 = Named(new QLabel(QStringLiteral("Heslo"), Panel3), "Label1");
    Label1->move(9, 35);
    Edit1 = Named(new QLineEdit(Panel3), "Edit1");
    Edit1->setGeometry(56, 32, 193, 21);
    Edit1->setEchoMode(QLineEdit::Password);
    Edit1->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }")); // "*"
    CheckBox1 = Named(new QCheckBox(QStringLiteral("Zapamatovat heslo"), Panel3), "CheckBox1");
    CheckBox1->move(56, 57);
    CheckBox1->adjustSize();
    Button1 = Named(new QPushButton(QStringLiteral("Přihlásit se"), Panel3), "Button1");
    Button1->setGeometry(255, 30, 75, 25);
    Button1->setDefault(true);
    Button1->setAutoDefault(true);
    // Enter in the password box presses the default button.
    connect(Edit1, &QLineEdit::returnPressed, Button1, &QPushButton::click);

    Panel4 = Named(new QWidget(Panel3), "Panel4");
    Panel4->setFixedWidth(173);
    auto* logos = new QVBoxLayout(Panel4);
    logos->setContentsMargins(0, 0, 0, 0);
    logos->setSpacing(0);
    Image2 = Named(new QLabel(Panel4), "Image2");
    Image2->setFixedHeight(80);
    Image2->setPixmap(QPixmap(QStringLiteral(":/velora/logo.png")));
    Image2->setScaledContents(true);
    Image3 = Named(new QLabel(Panel4), "Image3");
    Image3->setPixmap(QPixmap(QStringLiteral(":/velora/logo-strip.png")));
    Image3->setScaledContents(true);
    Image3->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    logos->addWidget(Image2);
    logos->addWidget(Image3, 1);
    header->addWidget(Panel4);
    column->addWidget(Panel3);
    // The login controls stay whole over the logos when the window is narrow.
    for (QWidget* control : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label1),
                             static_cast<QWidget*>(Edit1), static_cast<QWidget*>(CheckBox1),
                             static_cast<QWidget*>(Button1)})
        control->raise();

    Panel1 = Named(new QWidget(central), "Panel1");
    auto* main = new QVBoxLayout(Panel1);
    main->setContentsMargins(0, 0, 0, 0);
    main->setSpacing(0);
    WebBrowser1 = Named(new QWebEngineView(Panel1), "WebBrowser1");
    main->addWidget(WebBrowser1, 1);
    ProgressBar1 = Named(new QProgressBar(Panel1), "ProgressBar1");
    ProgressBar1->setFixedHeight(17);
    // The share downloaded, in the middle of the bar.
    ProgressBar1->setFormat(QStringLiteral("%p %"));
    ProgressBar1->setAlignment(Qt::AlignCenter);
    ProgressBar1->hide();
    main->addWidget(ProgressBar1);
    column->addWidget(Panel1, 1);
    setCentralWidget(central);

    auto* status = Named(statusBar(), "StatusBar1");
    status->setFixedHeight(19);
    status->setSizeGripEnabled(false);
    StatusPanel0 = new QLabel(status);
    StatusPanel0->setFixedWidth(300);
    StatusPanel1 = new QLabel(status);
    StatusPanel1->setFixedWidth(50);
    status->addWidget(StatusPanel0);
    status->addWidget(StatusPanel1);
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    // Ignored until the handler has returned: an exception leaves it ignored
    // and the window open.
    event->ignore();
    if (CanClose && !CanClose())
        return;
    if (OnCloseQuery)
        OnCloseQuery();
    event->accept();
    if (OnClosed)
        OnClosed();
}
