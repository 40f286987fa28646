#pragma once
// A temporary settings store and a clock the test sets, installed as the library's own for the
// length of one test.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ModalScript.h"
#include "Numwell.h"
#include "NumwellServices.h"
#include "SqliteSettingsStore.h"
#include "TempDir.h"

// The exported class with its protected members opened for inspection; adds nothing to it.
struct NumwellProbe : CNumwellerator {
    using CNumwellerator::m_nLastDate;
    using CNumwellerator::m_nLastSN;
    using CNumwellerator::m_nStationID;
    using CNumwellerator::m_szSN;
    using CNumwellerator::m_timeBase;
};

class NumwellFixture : public ::testing::Test {
protected:
    NumwellFixture() : m_store(std::make_shared<platform::SqliteSettingsStore>(m_dir.file("settings.db")))
    {
        numwell::SetSettingsStore(m_store);
        SetTime(LocalTime(2006, 5, 19, 12, 0, 0));
    }
    ~NumwellFixture() override
    {
        numwell::SetClock({});
        numwell::SetSettingsStore(nullptr);
    }

    void SetTime(std::int64_t now)
    {
        m_now = now;
        numwell::SetClock([this] { return m_now; });
    }

    static std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second)
    {
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        return std::mktime(&local);
    }

    void StoreNumber(const char *name, std::uint32_t value)
    {
        auto key = m_store->CreateKey(numwell::SettingsKeyPath());
        ASSERT_TRUE(key && key->WriteNumber(name, value) && key->Flush());
    }
    void StoreText(const char *name, const std::string &bytes)
    {
        auto key = m_store->CreateKey(numwell::SettingsKeyPath());
        ASSERT_TRUE(key && key->WriteText(name, bytes.data(), std::uint32_t(bytes.size())) && key->Flush());
    }
    // The counter state a station left after saving `text` on `day`.
    void StoreState(std::uint32_t station, std::uint32_t day, std::uint32_t counter, const std::string &text)
    {
        StoreNumber(numwell::kValueStationID, station);
        StoreNumber(numwell::kValueLastDate, day);
        StoreNumber(numwell::kValueLastSN, counter);
        std::string field = text;
        field.resize(32, '\0');
        StoreText(numwell::kValueLastSNText, field);
    }

    std::optional<std::string> Stored(const char *name)
    {
        auto key = m_store->OpenKey(numwell::SettingsKeyPath(), platform::SettingsAccess::Read);
        char buffer[256];
        std::uint32_t length = sizeof buffer;
        if (!key || !key->Read(name, buffer, length))
            return std::nullopt;
        return std::string(buffer, length);
    }
    std::optional<std::uint32_t> StoredNumber(const char *name)
    {
        const auto bytes = Stored(name);
        if (!bytes || bytes->size() != 4)
            return std::nullopt;
        std::uint32_t value;
        std::memcpy(&value, bytes->data(), 4);
        return value;
    }

    // Steps for the library's two dialogs and its message boxes.
    static ModalScript::Step AcceptDate(QString *text = nullptr)
    {
        return [text](QWidget *window) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Date"));
            if (text)
                if (auto *label = window->findChild<QLabel *>(QStringLiteral("dateText")))
                    *text = label->text();
            ModalScript::Click(window, QStringLiteral("OK"));
        };
    }
    static ModalScript::Step ChooseStation(int index, QStringList *entries = nullptr, int *selected = nullptr)
    {
        return [=](QWidget *window) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Station ID"));
            auto *list = window->findChild<QComboBox *>(QStringLiteral("stationList"));
            ASSERT_NE(list, nullptr);
            if (entries)
                for (int i = 0; i < list->count(); ++i)
                    *entries << list->itemText(i);
            if (selected)
                *selected = list->currentIndex();
            if (index < 0) {
                ModalScript::Click(window, QStringLiteral("Cancel"));
                return;
            }
            list->setCurrentIndex(index);
            ModalScript::Click(window, QStringLiteral("OK"));
        };
    }
    static ModalScript::Step ExpectMessage(const char *text)
    {
        return [text](QWidget *window) {
            auto *box = qobject_cast<QMessageBox *>(window);
            ASSERT_NE(box, nullptr) << window->windowTitle().toStdString();
            EXPECT_EQ(box->text(), QString::fromLatin1(text));
            EXPECT_EQ(box->windowTitle(), QStringLiteral("Numwell"));
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box->buttons().size(), 1);
            ModalScript::Click(window, QStringLiteral("OK"));
        };
    }

    TempDir m_dir;
    std::shared_ptr<platform::SqliteSettingsStore> m_store;
    std::int64_t m_now = 0;
};
