#include "TamberTexts.h"

#include <QCoreApplication>
#include <QTranslator>

#include <memory>

namespace production {

namespace {

// The English entries are the source texts of the Linguist tables (all of them distinct).
struct Entry {
    int id;
    const char *source;
};

constexpr const char *kContext = "Tamber";

constexpr Entry kEntries[] = {
    {IDS_ABOUTBOX, QT_TRANSLATE_NOOP("Tamber", "&About %1...")},
    {IDS_ABOUT_CAPTION, QT_TRANSLATE_NOOP("Tamber", "About %1")},
    {IDS_PLUG_IN, QT_TRANSLATE_NOOP("Tamber", "Please plug in a configured device via USB cable to test...")},
    {IDS_UNPLUG, QT_TRANSLATE_NOOP("Tamber", "Please unplug this device...")},
    {IDS_INIT_DEVICE, QT_TRANSLATE_NOOP("Tamber", "Initialize device\t")},
    {IDS_CHECK_CHIP, QT_TRANSLATE_NOOP("Tamber", "Check chip version\t")},
    {IDS_VERIFY_CONFIG, QT_TRANSLATE_NOOP("Tamber", "Verify configuration\t")},
    {IDS_ATTENTION, QT_TRANSLATE_NOOP("Tamber", "Attention")},
    {IDS_START, QT_TRANSLATE_NOOP("Tamber", "Start")},
    {IDS_CANCEL, QT_TRANSLATE_NOOP("Tamber", "Cancel")},
    {IDS_OK, QT_TRANSLATE_NOOP("Tamber", "OK")},
    {IDS_NOT_RECORDED,
     QT_TRANSLATE_NOOP("Tamber", "This result was NOT stored in the station's ledger. Ask the station's administrator.")},
    {IDS_LEDGER_NOT_WRITABLE,
     QT_TRANSLATE_NOOP("Tamber", "Results cannot be stored in the station's ledger: this user cannot write %1. "
                                 "Ask the station's administrator to add you to the group qt7730-mfg, then "
                                 "log in again.")},
    {IDS_LEDGER_NOT_WRITABLE_WINDOWS,
     QT_TRANSLATE_NOOP("Tamber", "Results cannot be stored in the station's ledger: this user cannot write %1. "
                                 "Ask the station's administrator to install the kit with its installer (MSI) or "
                                 "to repair the installation: it lets every user of this PC write the station's "
                                 "data folder.")},
    {IDS_NO_BENCH, QT_TRANSLATE_NOOP("Tamber", "The virtual bench is not running, so no cable can be found. Start it "
                                               "with \"vbench start\"; Tamber picks it up without being restarted.")},
};

std::unique_ptr<QTranslator> &InstalledTable()
{
    static std::unique_ptr<QTranslator> table;
    return table;
}

} // namespace

QString LoadText(int id)
{
    for (const Entry &entry : kEntries)
        if (entry.id == id)
            return QCoreApplication::translate(kContext, entry.source);
    return {};
}

std::string LoadTextUtf8(int id)
{
    return LoadText(id).toStdString();
}

TableLanguage LanguageFor(const QLocale &locale)
{
    return locale.name() == QLatin1String("zh_CN") ? TableLanguage::SimplifiedChinese : TableLanguage::English;
}

bool InstallTextTable(const QLocale &locale)
{
    std::unique_ptr<QTranslator> &installed = InstalledTable();
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    const char *name = LanguageFor(locale) == TableLanguage::SimplifiedChinese ? ":/i18n/tamber_zh_CN.qm"
                                                                                : ":/i18n/tamber_en_US.qm";
    auto table = std::make_unique<QTranslator>();
    if (!table->load(QString::fromLatin1(name)) || !QCoreApplication::installTranslator(table.get()))
        return false;
    installed = std::move(table);
    return true;
}

} // namespace production
