#include "BalloonPopup.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTimer>

TBalloonPopup::TBalloonPopup(QWidget* parent)
    : QFrame(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowDoesNotAcceptFocus) {
    setObjectName(QStringLiteral("BalloonPopup"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFrameShape(QFrame::Box);
    setStyleSheet(QStringLiteral("#BalloonPopup { background: #fffbe6; border: 1px solid #8a8a8a; "
                                 "border-radius: 6px; } QLabel { background: transparent; }"));
    setCursor(Qt::PointingHandCursor);

    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    FTitle = new QLabel(this);
    QFont bold = FTitle->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.1);
    FTitle->setFont(bold);
    FText = new QLabel(this);
    // Caller names come from the network: never read them as rich text.
    FTitle->setTextFormat(Qt::PlainText);
    FText->setTextFormat(Qt::PlainText);
    FText->setWordWrap(true);
    FText->setMinimumWidth(240);
    FText->setMaximumWidth(360);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 10, 16, 12);
    grid->setHorizontalSpacing(10);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(FTitle, 0, 1);
    grid->addWidget(FText, 1, 1);

    FHide = new QTimer(this);
    FHide->setSingleShot(true);
    connect(FHide, &QTimer::timeout, this, &QWidget::hide);
}

void TBalloonPopup::ShowMessage(const QString& title, const QString& text, int timeoutMs) {
    // The caller also names the window, for task lists and window tools.
    setWindowTitle(title);
    FTitle->setText(title);
    FText->setText(text);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.right() - width() - 16, area.bottom() - height() - 16);
    }
    show();
    raise();
    FHide->start(timeoutMs > 0 ? timeoutMs : 10000);
}

QString TBalloonPopup::Title() const {
    return FTitle->text();
}

QString TBalloonPopup::Text() const {
    return FText->text();
}

void TBalloonPopup::mousePressEvent(QMouseEvent*) {
    FHide->stop();
    hide();
    if (OnClick)
        OnClick();
}
