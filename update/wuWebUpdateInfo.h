#pragma once

#include "wuDesktop.h"

#include <QDialog>

class QCheckBox;
class QFrame;
class QPushButton;
class QWebEngineView;

// The information dialog: the product page in a web view above a check box
// ("check for updates in the future") and the OK and Cancel buttons. Enter
// means OK, Esc means Cancel.
class Tfrm_ShowInfoUpdate final : public QDialog, public TwuInfoDialog {
public:
    explicit Tfrm_ShowInfoUpdate(QWidget* parent = nullptr);

    void SetCaptions(const QString& okButton, const QString& cancelButton,
                     const QString& checkForUpdate) override;
    void SetCheckForUpdate(bool checked) override;
    bool CheckForUpdate() const override;
    void Navigate(const QString& url) override;
    bool ShowModal() override;

    QFrame* Panel_Bottom;
    QFrame* Panel2;
    QCheckBox* chk_FutureUpdate;
    QPushButton* btn_OK;
    QPushButton* btn_Cancel;
    QFrame* Panel1;
    QWebEngineView* WebBrowser;

    // Centres the two buttons in the bottom panel; runs on every resize of it.
    void Panel_BottomResize();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
