#pragma once
// A Prompter for tests: records every message box and file chooser, and answers from queues that the
// test fills beforehand (Ok / the first button when a queue is empty, Cancel for file choosers).
// Thread-safe, since workers may ask through the GUI thread.

#include "Prompter.h"

#include <QString>

#include <deque>
#include <mutex>
#include <vector>

class ScriptedPrompter : public Prompter {
public:
    struct Shown {
        QString text;
        QString caption;
        MessageButtons buttons;
        MessageIcon icon;
    };

    MessageResult Message(QWidget *, const QString &text, const QString &caption, MessageButtons buttons,
                          MessageIcon icon) override
    {
        std::lock_guard lock(m_mutex);
        m_shown.push_back({text, caption, buttons, icon});
        if (!m_answers.empty()) {
            const MessageResult answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        }
        return buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
    }
    QString OpenFileName(QWidget *, const FileFilter &filter) override
    {
        std::lock_guard lock(m_mutex);
        m_openFilters.push_back(filter);
        return Next(m_openNames);
    }
    QString SaveFileName(QWidget *, const SaveFileRequest &request) override
    {
        std::lock_guard lock(m_mutex);
        m_saveRequests.push_back(request);
        return Next(m_saveNames);
    }

    void AnswerNext(MessageResult answer) { std::lock_guard lock(m_mutex); m_answers.push_back(answer); }
    void OpenNext(const QString &path) { std::lock_guard lock(m_mutex); m_openNames.push_back(path); }
    void SaveNext(const QString &path) { std::lock_guard lock(m_mutex); m_saveNames.push_back(path); }

    std::vector<Shown> shown() const { std::lock_guard lock(m_mutex); return m_shown; }
    std::vector<FileFilter> openFilters() const { std::lock_guard lock(m_mutex); return m_openFilters; }
    std::vector<SaveFileRequest> saveRequests() const { std::lock_guard lock(m_mutex); return m_saveRequests; }
    QString lastText() const { std::lock_guard lock(m_mutex); return m_shown.empty() ? QString() : m_shown.back().text; }

private:
    static QString Next(std::deque<QString> &queue)
    {
        if (queue.empty())
            return {};
        QString next = queue.front();
        queue.pop_front();
        return next;
    }

    mutable std::mutex m_mutex;
    std::deque<MessageResult> m_answers;
    std::deque<QString> m_openNames, m_saveNames;
    std::vector<Shown> m_shown;
    std::vector<FileFilter> m_openFilters;
    std::vector<SaveFileRequest> m_saveRequests;
};
