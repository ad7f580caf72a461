// The alert test window: alert field lines typed by hand are fed into the
// alert windows exactly as if the server had sent them, one alert per line.
// Nothing goes to the server. Closing the window only hides it.
#pragma once

#include "MainConnectionUnit.h"

#include <QByteArray>
#include <QList>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;
class QResizeEvent;
class QSize;

class TAlertTestForm : public QWidget {
    Q_OBJECT
public:
    // Design geometry: frame at 49, 259; client area 337 x 303 holding the
    // memo (0, 0, 336 x 265, anchored to all sides) and the button (8, 272,
    // 113 x 25, anchored left and bottom).
    static constexpr int DesignLeft = 49;
    static constexpr int DesignTop = 259;
    static constexpr int DesignClientWidth = 337;
    static constexpr int DesignClientHeight = 303;

    // A top-level window captioned "AlertTestForm". Alerts go to Connection's
    // ListenForAlertsResponse (the process-wide session manager unless a test
    // passes its own); Connection must outlive the window.
    explicit TAlertTestForm(TMainConnection* Connection = MainConnection());
    TAlertTestForm(const TAlertTestForm&) = delete;
    TAlertTestForm& operator=(const TAlertTestForm&) = delete;

    // Delivers every memo line, first to last, as the alert "BRENIK-main"
    // CR LF line - a successful answer without a request message. The memo is
    // left as it is. Lines become bytes as Latin-1 (what the grids show them
    // as); characters beyond it arrive as "?".
    void AlertsTestButtonClick();

    // The memo's lines as alert field lines: none for an empty memo, and a
    // final line break does not start another line.
    QList<QByteArray> MemoLines() const;

    // Components, owned through the Qt parent (this window).
    QPlainTextEdit* AlertsMemo = nullptr;
    QPushButton* AlertsTestButton = nullptr;

protected:
    void resizeEvent(QResizeEvent* Event) override; // keeps the anchors

private:
    // The design's anchors for a client area of the given size.
    void PlaceComponents(const QSize& Client);

    TMainConnection* FConnection; // not owned
};
