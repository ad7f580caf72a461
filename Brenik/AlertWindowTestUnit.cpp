#include "AlertWindowTestUnit.h"

#include "ErrorBox.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>

namespace {

// Distances kept from the client area's edges (the design's anchors).
constexpr int MemoRightGap = TAlertTestForm::DesignClientWidth - 336;
constexpr int MemoBottomGap = TAlertTestForm::DesignClientHeight - 265;
constexpr int ButtonLeft = 8;
constexpr int ButtonWidth = 113;
constexpr int ButtonHeight = 25;
constexpr int ButtonBottomGap = TAlertTestForm::DesignClientHeight - (272 + ButtonHeight);
constexpr int FormFontPixelSize = 11;
constexpr int ButtonFontPixelSize = 11;

const QByteArray CategoryLine("BRENIK-main\r\n");

} // namespace

TAlertTestForm::TAlertTestForm(TMainConnection* Connection)
    : QWidget(nullptr), FConnection(Connection)
{
    Assert(Connection != nullptr, "AlertWindowTestUnit");
    setWindowTitle(QStringLiteral("AlertTestForm"));
    // Shown with the main window; must not keep the program running after it.
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont FormFont = QApplication::font();
    FormFont.setPixelSize(FormFontPixelSize);
    setFont(FormFont);

    AlertsMemo = new QPlainTextEdit(this);
    AlertsMemo->setObjectName(QStringLiteral("AlertsMemo"));
    AlertsMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    AlertsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    AlertsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    AlertsTestButton = new QPushButton(QStringLiteral("Send Alerts"), this);
    AlertsTestButton->setObjectName(QStringLiteral("AlertsTestButton"));
    QFont ButtonFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ButtonFont.setPixelSize(ButtonFontPixelSize);
    AlertsTestButton->setFont(ButtonFont);
    connect(AlertsTestButton, &QPushButton::clicked, this,
            [this] { RunShowingErrors([this] { AlertsTestButtonClick(); }); });

    setTabOrder(AlertsMemo, AlertsTestButton);
    move(DesignLeft, DesignTop);
    resize(DesignClientWidth, DesignClientHeight);
    // A hidden window gets its resize event only when shown.
    PlaceComponents(size());
}

void TAlertTestForm::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    PlaceComponents(Event->size());
}

void TAlertTestForm::PlaceComponents(const QSize& Client)
{
    AlertsMemo->setGeometry(0, 0, qMax(0, Client.width() - MemoRightGap), qMax(0, Client.height() - MemoBottomGap));
    AlertsTestButton->setGeometry(ButtonLeft, Client.height() - ButtonBottomGap - ButtonHeight, ButtonWidth,
                                  ButtonHeight);
}

QList<QByteArray> TAlertTestForm::MemoLines() const
{
    QString Text = AlertsMemo->toPlainText();
    QList<QByteArray> Lines;
    if (Text.isEmpty())
        return Lines;
    if (Text.endsWith(u'\n'))
        Text.chop(1);
    for (const QString& Line : Text.split(u'\n'))
        Lines.append(Line.toLatin1());
    return Lines;
}

void TAlertTestForm::AlertsTestButtonClick()
{
    // The lines are taken once: a listener cannot change what this press sends.
    const QList<QByteArray> Lines = MemoLines();
    for (const QByteArray& Line : Lines)
        FConnection->ListenForAlertsResponse(true, CategoryLine + Line, TMessageToServer());
}
