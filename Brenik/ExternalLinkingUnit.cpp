#include "ExternalLinkingUnit.h"

#include "ErrorBox.h"
#include "Exceptions.h"
#include "QuilletGenericConnector2Proj1_TLB.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include <memory>

TExternalLinkingWindow::TExternalLinkingWindow(TRegistrySettings* Settings, TConnectorFactory Factory)
    : QWidget(nullptr)
{
    setObjectName(QStringLiteral("ExternalLinkingWindow"));
    setWindowTitle(QStringLiteral("External Linking Window"));
    resize(InitialWidth, InitialHeight);
    FormCreate(Settings, Factory);
}

TExternalLinkingWindow::~TExternalLinkingWindow() = default;

void TExternalLinkingWindow::FormCreate(TRegistrySettings* Settings, const TConnectorFactory& Factory)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    RunShowingErrors([&] {
        try {
            std::unique_ptr<TQuilletGenericConnector2X> connector(
                Factory ? Factory(this, Settings) : new TQuilletGenericConnector2X(this, Settings));
            Assert(connector != nullptr, "ExternalLinkingUnit");
            connector->setParent(this);
            connector->SetProperty(TQuilletGenericConnector2X::DispIdActive, true);
            layout->addWidget(connector.get());
            FConnector = connector.release();
        } catch (const std::exception& e) {
            throw Exception(QStringLiteral("The external linking control could not be created; symbols are not linked. ")
                + ExceptionMessage(e));
        }
    });
    if (FConnector)
        RunShowingErrors([&] { FConnector->LoadSettings(); });
}

void TExternalLinkingWindow::ShowAndRestore()
{
    show();
    raise();
    activateWindow();
    if (windowState() & Qt::WindowMinimized)
        setWindowState(windowState() & ~Qt::WindowMinimized);
}

void TExternalLinkingWindow::SendSymbol(const QByteArray& Symbol)
{
    if (!FConnector)
        return;
    FConnector->SetProperty(TQuilletGenericConnector2X::DispIdSymbol, QString::fromLatin1(Symbol));
    FConnector->Link();
    if (FConnector->GetProperty(TQuilletGenericConnector2X::DispIdShowWindow).toInt() == 0)
        ShowAndRestore();
}

void TExternalLinkingWindow::closeEvent(QCloseEvent* Event)
{
    // Only hides: the window lives as long as the program.
    Event->ignore();
    hide();
}
