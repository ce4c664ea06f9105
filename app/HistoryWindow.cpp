#include "HistoryWindow.h"

#include "CallHistoryModel.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <QVBoxLayout>

THistoryWindow::THistoryWindow(TCallHistoryModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window), FModel(model) {
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("Historie hovorů"));
    setWindowIcon(QIcon(QStringLiteral(":/velora/icon.png")));
    resize(820, 520);

    auto* column = new QVBoxLayout(this);
    Search = new QLineEdit(this);
    Search->setObjectName(QStringLiteral("HistorySearch"));
    Search->setPlaceholderText(QStringLiteral("Hledat číslo nebo jméno"));
    Search->setClearButtonEnabled(true);
    column->addWidget(Search);

    Table = new QTableView(this);
    Table->setObjectName(QStringLiteral("HistoryTable"));
    Table->setModel(&model);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setAlternatingRowColors(true);
    Table->setWordWrap(false);
    Table->setContextMenuPolicy(Qt::CustomContextMenu);
    // Rows of one fixed height keep a quarter of a million calls cheap to lay out.
    Table->verticalHeader()->hide();
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 8);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setHighlightSections(false);
    Table->setColumnWidth(TCallHistoryModel::Cas, 160);
    Table->setColumnWidth(TCallHistoryModel::Volajici, 150);
    Table->setColumnWidth(TCallHistoryModel::Jmeno, 220);
    column->addWidget(Table, 1);

    Count = new QLabel(this);
    Count->setObjectName(QStringLiteral("HistoryCount"));
    column->addWidget(Count);

    connect(Search, &QLineEdit::textChanged, this, [this](const QString& text) {
        FModel.SetFilter(text);
        if (FModel.rowCount() > 0)
            Table->selectRow(0);
    });
    connect(Search, &QLineEdit::returnPressed, this, [this] { OpenCurrent(); });
    connect(Table, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (OnOpen)
            OnOpen(index.row());
    });
    connect(Table, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = Table->indexAt(at);
        if (!index.isValid())
            return;
        QMenu menu(this);
        const QString number = FModel.Caller(index.row());
        QAction* copy = menu.addAction(QStringLiteral("Kopírovat číslo"));
        copy->setEnabled(!number.isEmpty());
        if (menu.exec(Table->viewport()->mapToGlobal(at)) == copy)
            QApplication::clipboard()->setText(number);
    });
    connect(&model, &QAbstractItemModel::modelReset, this, [this] { ShowCount(); });
    connect(&model, &QAbstractItemModel::rowsInserted, this, [this] { ShowCount(); });
    // Arrow keys in the search box move through the calls, Enter in the table opens one.
    Search->installEventFilter(this);
    Table->installEventFilter(this);
    ShowCount();
}

void THistoryWindow::OpenCurrent() {
    const int row = Table->currentIndex().isValid() ? Table->currentIndex().row() : 0;
    if (row < FModel.rowCount() && OnOpen)
        OnOpen(row);
}

void THistoryWindow::ShowCount() {
    const QLocale locale;
    if (FModel.rowCount() == FModel.CallCount())
        Count->setText(QStringLiteral("Hovorů: %1").arg(locale.toString(FModel.CallCount())));
    else
        Count->setText(
            QStringLiteral("Nalezeno %1 z %2 hovorů")
                .arg(locale.toString(FModel.rowCount()), locale.toString(FModel.CallCount())));
}

bool THistoryWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (watched == Table && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
        OpenCurrent();
        return true;
    }
    if (watched == Search && (key == Qt::Key_Down || key == Qt::Key_Up || key == Qt::Key_PageDown ||
                              key == Qt::Key_PageUp)) {
        Table->setFocus();
        QApplication::sendEvent(Table, event);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
