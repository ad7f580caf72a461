#include "ErrorBox.h"

#include "Exceptions.h"

#include <QMessageBox>
#include <exception>

const char* const ErrorBoxCaption = "Brenik Trading Alerts";

void ShowErrorBox(const QString& Text)
{
    QMessageBox::critical(nullptr, QString::fromLatin1(ErrorBoxCaption), Text);
}

namespace {

void ShowErrorBoxQuietly(const QString& Text) noexcept
{
    try {
        ShowErrorBox(Text);
    } catch (...) {
        // Nothing is left to tell the user with; the program goes on.
    }
}

} // namespace

bool RunShowingErrors(const std::function<void()>& Handler) noexcept
{
    try {
        if (Handler)
            Handler();
        return true;
    } catch (const std::exception& e) {
        QString text;
        try {
            text = ExceptionMessage(e);
            if (text.isEmpty())
                text = ExceptionClassName(e);
        } catch (...) {
            text = QStringLiteral("Unknown error");
        }
        ShowErrorBoxQuietly(text);
    } catch (...) {
        ShowErrorBoxQuietly(QStringLiteral("Unknown error"));
    }
    return false;
}
