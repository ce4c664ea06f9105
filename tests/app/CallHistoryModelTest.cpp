#include "CallHistoryModel.h"

#include "CallHistory.h"
#include "HistoryWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QTableView>
#include <QTimer>
#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>

namespace {

QStringList Call(const QString& t, const QString& kdo, const QString& nazev, const QString& odkaz) {
    return {t + "_kdo=" + kdo, t + "_nazev=" + nazev, t + "_odkaz=" + odkaz, t + "_cas=" + t};
}

// Every cell of the shown rows, row by row, columns joined by "|".
QStringList Rows(const TCallHistoryModel& model) {
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(); ++column)
            cells << model.data(model.index(row, column)).toString();
        rows << cells.join(u'|');
    }
    return rows;
}

class HistoryModel : public testing::Test {
protected:
    CallHistory History{Call("1.1.2026 8:00:00", "111", "Jana Nováková", "http://crm/1") +
                        QStringList{"poznamka bez klice", "jiny=radek"} +
                        Call("1.1.2026 8:00:00 #2", "222", "Účetní oddělení", "http://crm/2") +
                        QStringList{"2.1.2026 9:00:00_kdo=333"}};
    TCallHistoryModel Model{History};
};

TEST_F(HistoryModel, ListsEveryCallNewestFirst) {
    EXPECT_EQ(Model.columnCount(), 4);
    QStringList headers;
    for (int column = 0; column < 4; ++column)
        headers << Model.headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"Čas", "Volající", "Jméno", "Odkaz"}));
    // A call without its "_cas" line shows the time stamp of its keys.
    EXPECT_EQ(Rows(Model), (QStringList{"2.1.2026 9:00:00|333||",
                                        "1.1.2026 8:00:00 #2|222|Účetní oddělení|http://crm/2",
                                        "1.1.2026 8:00:00|111|Jana Nováková|http://crm/1"}));
    EXPECT_EQ(Model.Link(1), "http://crm/2");
    EXPECT_EQ(Model.Caller(2), "111");
    EXPECT_EQ(Model.Link(3), QString());
    EXPECT_EQ(Model.Caller(-1), QString());
}

struct FilterCase {
    const char* text;
    QStringList callers; // shown, newest first
};

class HistoryFilter : public HistoryModel, public testing::WithParamInterface<FilterCase> {};

TEST_P(HistoryFilter, FindsByNumberOrNameWithoutRegardToCaseAndDiacritics) {
    Model.SetFilter(QString::fromUtf8(GetParam().text));
    QStringList callers;
    for (int row = 0; row < Model.rowCount(); ++row)
        callers << Model.Caller(row);
    EXPECT_EQ(callers, GetParam().callers);
    EXPECT_EQ(Model.CallCount(), 3);
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryFilter,
                         testing::Values(FilterCase{"", {"333", "222", "111"}},
                                         FilterCase{"ucetni", {"222"}},
                                         FilterCase{"ÚČETNÍ", {"222"}},
                                         FilterCase{"  oddeleni ", {"222"}},
                                         FilterCase{"novakova", {"111"}},
                                         FilterCase{"Nováková", {"111"}}, FilterCase{"22", {"222"}},
                                         FilterCase{"3", {"333"}}, FilterCase{"n", {"222", "111"}},
                                         FilterCase{"crm", {}}, FilterCase{"111\njana", {}},
                                         FilterCase{"111 jana", {}}, FilterCase{"xyz", {}}));

TEST_F(HistoryModel, NewCallsAppearAtTheTopWhenTheyMatch) {
    std::vector<std::pair<int, int>> inserted;
    QObject::connect(
        &Model, &QAbstractItemModel::rowsInserted,
        [&](const QModelIndex&, int first, int last) { inserted.emplace_back(first, last); });
    for (const QString& line : Call("3.1.2026 7:00:00", "444", "Účetní", "http://crm/4"))
        History.SetEntry(line.section(u'=', 0, 0), line.section(u'=', 1));
    Model.Refresh();
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted[0], std::make_pair(0, 0));
    EXPECT_EQ(Model.Caller(0), "444");
    EXPECT_EQ(Model.rowCount(), 4);

    Model.SetFilter("ucetni");
    for (const QString& line : Call("3.1.2026 7:00:01", "555", "Jiný", "http://crm/5"))
        History.SetEntry(line.section(u'=', 0, 0), line.section(u'=', 1));
    Model.Refresh();
    EXPECT_EQ(inserted.size(), 1);
    EXPECT_EQ(Model.rowCount(), 2);
    Model.SetFilter("");
    EXPECT_EQ(Model.Caller(0), "555");
    EXPECT_EQ(Model.CallCount(), 5);
}

TEST_F(HistoryModel, AHistoryThatShrankIsReadAnew) {
    int reset = 0;
    QObject::connect(&Model, &QAbstractItemModel::modelReset, [&] { ++reset; });
    History = CallHistory(Call("4.1.2026 7:00:00", "666", "", ""));
    Model.Refresh();
    EXPECT_EQ(reset, 1);
    EXPECT_EQ(Rows(Model), QStringList{"4.1.2026 7:00:00|666||"});
}

TEST(HistoryModelLines, CallKeysInAnyCaseAndCallsWhoseLinesStandApart) {
    const CallHistory history({"5_KDO=555", "5_Nazev=Jan", "5_kdox=9", "6_odkaz", "7_kdo=777",
                               "8_kdo=888", "7_nazev=Sedm", "5_Cas=pět", "8_odkaz=http://crm/8",
                               "7_kdo=771"});
    const TCallHistoryModel model(history);
    EXPECT_EQ(Rows(model), (QStringList{"8|888||http://crm/8", "7|771|Sedm|", "pět|555|Jan|"}));
}

// Opens the context menu of the window's table on a row, as a right click does, and answers
// the menu once it is open: a click on its entry when that is enabled, else Escape. Returns
// whether the entry "Kopírovat číslo" was there and enabled; none when no menu opened.
std::optional<bool> CopyNumberFromTheMenu(THistoryWindow& window, int row) {
    std::optional<bool> enabled;
    QTimer answer;
    answer.setInterval(0);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        answer.stop();
        QAction* copy = menu->actions().value(0);
        enabled = copy && copy->text() == QStringLiteral("Kopírovat číslo") && copy->isEnabled();
        if (!*enabled) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(menu, &escape);
            return;
        }
        const QPoint at = menu->actionGeometry(copy).center();
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, at, menu->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(menu, &click);
        }
    });
    answer.start();
    QWidget* viewport = window.Table->viewport();
    const QPoint at = window.Table->visualRect(window.Table->model()->index(row, 2)).center();
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    // Returns once the menu has closed.
    QCoreApplication::sendEvent(viewport, &request);
    return enabled;
}

TEST(HistoryWindowMenu, CopyNumberPutsTheCallersNumberOnTheClipboard) {
    const CallHistory history({"1_kdo=+420 777 111", "1_nazev=Jana", "2_nazev=Bez čísla"});
    TCallHistoryModel model(history);
    THistoryWindow window(model);
    window.show();
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(QStringLiteral("před"));

    // Row 0 is the newest call, which has no number: the entry is greyed out.
    EXPECT_EQ(CopyNumberFromTheMenu(window, 0), false);
    EXPECT_EQ(clipboard->text(), QStringLiteral("před"));
    EXPECT_EQ(CopyNumberFromTheMenu(window, 1), true);
    EXPECT_EQ(clipboard->text(), QStringLiteral("+420 777 111"));

    // The filtered table's row is the call shown there.
    clipboard->setText(QStringLiteral("před"));
    window.Search->setText(QStringLiteral("jana"));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(CopyNumberFromTheMenu(window, 0), true);
    EXPECT_EQ(clipboard->text(), QStringLiteral("+420 777 111"));
}

TEST(FoldForSearch, DropsCaseAndDiacritics) {
    EXPECT_EQ(FoldForSearch(u"Účetní ODDĚLENÍ Žluťoučký kůň"),
              QStringLiteral("ucetni oddeleni zlutoucky kun"));
    EXPECT_EQ(FoldForSearch(u"+420 777"), QStringLiteral("+420 777"));
}

} // namespace
