#include "SystemMenu.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#include <map>
#include <utility>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// One filter for the process: WM_SYSCOMMAND of a registered window and command calls its handler.
class SystemMenuFilter final : public QAbstractNativeEventFilter {
public:
    static SystemMenuFilter &Instance()
    {
        static SystemMenuFilter *filter = [] {
            auto *created = new SystemMenuFilter; // lives as long as the application's filters
            QCoreApplication::instance()->installNativeEventFilter(created);
            return created;
        }();
        return *filter;
    }

    void Add(HWND window, int command, QPointer<QWidget> owner, std::function<void()> chosen)
    {
        m_items[{window, command}] = Item{std::move(owner), std::move(chosen)};
    }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *result) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_SYSCOMMAND)
            return false;
        // The low four bits of a system command are the system's own.
        const auto it = m_items.find({msg->hwnd, int(msg->wParam & 0xFFF0)});
        if (it == m_items.end())
            return false;
        if (!it->second.owner) { // the window is gone; its handle may be reused
            m_items.erase(it);
            return false;
        }
        const std::function<void()> chosen = it->second.chosen;
        if (result)
            *result = 0;
        chosen();
        return true;
    }

private:
    struct Item {
        QPointer<QWidget> owner;
        std::function<void()> chosen;
    };
    std::map<std::pair<HWND, int>, Item> m_items;
};

} // namespace

bool AppendSystemMenuItem(QWidget *window, int command, const QString &text, std::function<void()> chosen)
{
    if (!window || !QCoreApplication::instance() || command <= 0 || command >= 0xF000 || (command & 0xF) != 0)
        return false;
    HWND hwnd = reinterpret_cast<HWND>(window->window()->winId());
    HMENU menu = hwnd ? GetSystemMenu(hwnd, FALSE) : nullptr;
    if (!menu)
        return false;
    if (!AppendMenuW(menu, MF_SEPARATOR, 0, nullptr)
        || !AppendMenuW(menu, MF_STRING, UINT_PTR(command), reinterpret_cast<const wchar_t *>(text.utf16())))
        return false;
    SystemMenuFilter::Instance().Add(hwnd, command, window, std::move(chosen));
    return true;
}
