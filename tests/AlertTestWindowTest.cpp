#include "AlertWindowTestUnit.h"

#include "AlertWindowUnit.h"
#include "IniFiles.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

namespace {

// A session manager of its own (no settings file, never logged in), the
// standard windows 7 and 8, and a record of every alert delivered.
class AlertTestWindowTest : public ::testing::Test {
protected:
    AlertTestWindowTest()
        : Connection(Dir.filePath("ZVR.ini"))
    {
        Connection.AddAlertListener([this](const QByteArray& Data) { Delivered.push_back(Data); });
        BreakLo = std::make_unique<TAlertForm>(&Connection);
        BreakLo->SetKind(7);
        BreakHi = std::make_unique<TAlertForm>(&Connection);
        BreakHi->SetKind(8);
        Form = std::make_unique<TAlertTestForm>(&Connection);
    }

    ~AlertTestWindowTest() override
    {
        BreakLo->PermitDestruction();
        BreakHi->PermitDestruction();
    }

    void Press()
    {
        Form->show();
        QTest::mouseClick(Form->AlertsTestButton, Qt::LeftButton);
    }

    QTemporaryDir Dir;
    TMainConnection Connection;
    std::vector<QByteArray> Delivered;
    std::unique_ptr<TAlertForm> BreakLo;
    std::unique_ptr<TAlertForm> BreakHi;
    std::unique_ptr<TAlertTestForm> Form;
};

std::vector<QByteArray> Symbols(const TQuickStrikeEntries& List)
{
    std::vector<QByteArray> Result;
    for (const TQuickStrikeEntry& Entry : List)
        Result.push_back(Entry.Symbol);
    return Result;
}

} // namespace

TEST_F(AlertTestWindowTest, TheDesignedComponents)
{
    EXPECT_EQ(Form->windowTitle(), "AlertTestForm");
    EXPECT_EQ(Form->AlertsTestButton->text(), "Send Alerts");
    EXPECT_EQ(Form->AlertsMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(Form->size(), QSize(337, 303));
    EXPECT_EQ(Form->AlertsMemo->geometry(), QRect(0, 0, 336, 265));
    EXPECT_EQ(Form->AlertsTestButton->geometry(), QRect(8, 272, 113, 25));
    // The memo follows every edge, the button the left and bottom ones.
    Form->show();
    Form->resize(500, 400);
    EXPECT_EQ(Form->AlertsMemo->geometry(), QRect(0, 0, 499, 362));
    EXPECT_EQ(Form->AlertsTestButton->geometry(), QRect(8, 369, 113, 25));
    // Closing only hides.
    EXPECT_TRUE(Form->close());
    EXPECT_TRUE(Form->isHidden());
    EXPECT_FALSE(Form->testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(AlertTestWindowTest, TwoLinesReachBreakLo5InOrder)
{
    Form->AlertsMemo->setPlainText("w_id=7&symbol=AAA\nw_id=7&symbol=BBB");
    Press();
    EXPECT_EQ(Delivered, (std::vector<QByteArray>{"BRENIK-main\r\nw_id=7&symbol=AAA",
                                                  "BRENIK-main\r\nw_id=7&symbol=BBB"}));
    // BBB is the newest: first in the list and in the grid's cell of entry 0.
    EXPECT_EQ(Symbols(BreakLo->SymbolOnlyList()), (std::vector<QByteArray>{"BBB", "AAA"}));
    EXPECT_EQ(Symbols(BreakLo->SymbolOnlyGrid()->Entries()), (std::vector<QByteArray>{"BBB", "AAA"}));
    EXPECT_EQ(BreakLo->SymbolOnlyGrid()->CellText(0, 1), "AAA");
    EXPECT_EQ(BreakLo->SymbolOnlyGrid()->CellText(0, 2), "BBB");
    EXPECT_TRUE(BreakHi->SymbolOnlyList().isEmpty());
    // The memo is left as it was; a second press sends the same again.
    EXPECT_EQ(Form->AlertsMemo->toPlainText(), "w_id=7&symbol=AAA\nw_id=7&symbol=BBB");
    Press();
    EXPECT_EQ(Delivered.size(), 4u);
    EXPECT_EQ(BreakLo->SymbolOnlyList().size(), 4);
}

TEST_F(AlertTestWindowTest, MemoLinesAsDelivered)
{
    struct Case {
        const char* What;
        QString Text;
        std::vector<QByteArray> Lines;
    };
    const std::vector<Case> Cases = {
        {"empty memo sends nothing", "", {}},
        {"one line", "w_id=8&symbol=X", {"w_id=8&symbol=X"}},
        {"a final line break adds no line", "a=1\n", {"a=1"}},
        {"an empty line is delivered", "a=1\n\nb=2", {"a=1", "", "b=2"}},
        {"a lone line break is one empty line", "\n", {""}},
        {"Latin-1 bytes", QString::fromLatin1("symbol=\xC9T\xC9"), {"symbol=\xC9T\xC9"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        Delivered.clear();
        Form->AlertsMemo->setPlainText(C.Text);
        Press();
        std::vector<QByteArray> Expected;
        for (const QByteArray& Line : C.Lines)
            Expected.push_back("BRENIK-main\r\n" + Line);
        EXPECT_EQ(Delivered, Expected);
    }
}

TEST_F(AlertTestWindowTest, AnEmptyLineReachesOnlyAWindowWithoutIdentifier)
{
    TAlertForm NoId(&Connection);
    NoId.PermitDestruction();
    NoId.LoadDefinition(TIniFile::FromText("[A]\ntitle=No id\n"), "A");
    Form->AlertsMemo->setPlainText("\n");
    Press();
    EXPECT_EQ(NoId.QuickStrikeList().size(), 1);
    EXPECT_TRUE(BreakLo->SymbolOnlyList().isEmpty());
    EXPECT_TRUE(BreakHi->SymbolOnlyList().isEmpty());
}
