#include "MessageBox.h"

#include <cstdio>

namespace {

std::function<void(const QString&)>& Hook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

} // namespace

void ShowMessage(const QString& text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void SetShowMessageHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }
