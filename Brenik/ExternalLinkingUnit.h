// The external linking window: hosts the external-linking control and passes
// it every symbol the user clicks in an alert grid.
//
// One instance exists; the program creates it at start-up without a parent and
// destroys it at shut-down, before the main window. It starts hidden, its
// placement is not saved, and closing it only hides it. The window owns the
// control (Qt child, filling the window). If the control cannot be created the
// error box says so, the window stays empty and SendSymbol does nothing.
#pragma once

#include <QByteArray>
#include <QWidget>
#include <functional>

class TQuilletGenericConnector2X;
class TRegistrySettings;

class TExternalLinkingWindow : public QWidget {
    Q_OBJECT
public:
    // Makes the control with Owner as its parent; may raise.
    using TConnectorFactory = std::function<TQuilletGenericConnector2X*(QWidget* Owner, TRegistrySettings* Settings)>;

    // Settings: the registry store the control keeps its settings in; not
    // owned, may be null, must outlive the window. Factory: how the control is
    // made; empty = the real control.
    explicit TExternalLinkingWindow(TRegistrySettings* Settings = nullptr, TConnectorFactory Factory = {});
    ~TExternalLinkingWindow() override;
    TExternalLinkingWindow(const TExternalLinkingWindow&) = delete;
    TExternalLinkingWindow& operator=(const TExternalLinkingWindow&) = delete;

    // Shows the window and brings it to the front, then, if it is minimised,
    // restores it.
    void ShowAndRestore();

    // Sets the control's Symbol to Symbol (Latin-1 bytes), makes the linking
    // call, reads property 19 and calls ShowAndRestore when it reads 0. A
    // failing step raises EOleException and skips the rest. Does nothing
    // when the control could not be created.
    void SendSymbol(const QByteArray& Symbol);

    // The hosted control, or null when it could not be created; owned by the
    // window.
    TQuilletGenericConnector2X* Connector() const { return FConnector; }

    // Client size at creation.
    static constexpr int InitialWidth = 443;
    static constexpr int InitialHeight = 440;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void FormCreate(TRegistrySettings* Settings, const TConnectorFactory& Factory);

    TQuilletGenericConnector2X* FConnector = nullptr; // Qt child of this window
};
