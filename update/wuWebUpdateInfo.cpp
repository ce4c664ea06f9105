#include "wuWebUpdateInfo.h"

#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineView>

Tfrm_ShowInfoUpdate::Tfrm_ShowInfoUpdate(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("wuWebUpdate"));
    resize(530, 453);
    QFont font = this->font();
    font.setPixelSize(11);
    setFont(font);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    WebBrowser = new QWebEngineView(Panel1);
    auto* browserLayout = new QVBoxLayout(Panel1);
    browserLayout->setContentsMargins(2, 2, 2, 2);
    browserLayout->addWidget(WebBrowser);

    Panel2 = new QFrame(this);
    Panel2->setFixedHeight(31);
    Panel2->setFrameStyle(QFrame::Box | QFrame::Plain);
    chk_FutureUpdate = new QCheckBox(Panel2);
    chk_FutureUpdate->setGeometry(8, 6, 497, 17);
    chk_FutureUpdate->setChecked(true);

    Panel_Bottom = new QFrame(this);
    Panel_Bottom->setFixedHeight(41);
    Panel_Bottom->setFrameStyle(QFrame::NoFrame);
    btn_OK = new QPushButton(Panel_Bottom);
    btn_Cancel = new QPushButton(Panel_Bottom);
    for (QPushButton* button : {btn_OK, btn_Cancel}) {
        button->setGeometry(0, 10, 75, 25);
        button->setCursor(Qt::PointingHandCursor);
    }
    btn_OK->setDefault(true);
    connect(btn_OK, &QPushButton::clicked, this, &QDialog::accept);
    // QDialog turns Esc into reject(), the Cancel answer.
    connect(btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
    Panel_Bottom->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1, 1);
    layout->addWidget(Panel2);
    layout->addWidget(Panel_Bottom);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void Tfrm_ShowInfoUpdate::SetCaptions(const QString& okButton, const QString& cancelButton,
                                      const QString& checkForUpdate) {
    btn_OK->setText(okButton);
    btn_Cancel->setText(cancelButton);
    chk_FutureUpdate->setText(checkForUpdate);
}

void Tfrm_ShowInfoUpdate::SetCheckForUpdate(bool checked) {
    chk_FutureUpdate->setChecked(checked);
}

bool Tfrm_ShowInfoUpdate::CheckForUpdate() const {
    return chk_FutureUpdate->isChecked();
}

void Tfrm_ShowInfoUpdate::Navigate(const QString& url) {
    WebBrowser->setUrl(QUrl(url));
}

bool Tfrm_ShowInfoUpdate::ShowModal() {
    return exec() == QDialog::Accepted;
}

void Tfrm_ShowInfoUpdate::Panel_BottomResize() {
    // The pair is centred as if 6 pixels stood between them, but they stand 3 apart.
    btn_OK->move((Panel_Bottom->width() - (btn_OK->width() + btn_Cancel->width() + 6)) / 2,
                 btn_OK->y());
    btn_Cancel->move(btn_OK->x() + btn_OK->width() + 3, btn_Cancel->y());
}

bool Tfrm_ShowInfoUpdate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel_Bottom && event->type() == QEvent::Resize)
        Panel_BottomResize();
    return QDialog::eventFilter(watched, event);
}
