#include "ProcessMessages.h"

#include <QCoreApplication>

namespace {

std::function<void()>& Hook()
{
    static std::function<void()> hook;
    return hook;
}

} // namespace

void ProcessMessages()
{
    if (Hook()) {
        Hook()();
        return;
    }
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

void SetProcessMessagesHook(std::function<void()> hook)
{
    Hook() = std::move(hook);
}
