#pragma once

#include <QFrame>
#include <functional>

class QLabel;
class QTimer;

// Stands in for the tray balloon where the desktop has no system tray: a small
// frameless popup near the bottom right corner of the screen with the
// information icon, a bold title and the text. It hides itself after the
// timeout; a click hides it and raises OnClick.
class TBalloonPopup : public QFrame {
public:
    explicit TBalloonPopup(QWidget* parent = nullptr);

    void ShowMessage(const QString& title, const QString& text, int timeoutMs);

    QString Title() const;
    QString Text() const;

    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLabel* FTitle = nullptr;
    QLabel* FText = nullptr;
    QTimer* FHide = nullptr;
};
