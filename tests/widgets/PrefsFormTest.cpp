#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <optional>

#include "engine/Zivad.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/PrefsForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/PrefsForm.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class PrefsFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_home = std::make_unique<TTestHome>();
        m_config = std::make_unique<TTempDir>();
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_oldConfig = old;
        ::setenv("XDG_CONFIG_HOME", m_config->Path().c_str(), 1);  // OK writes the autostart entry there
    }
    void cleanup() {
        if (m_oldConfig)
            ::setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        m_config.reset();
        m_home.reset();
    }

    void TheControlsCarryTheirNamesCaptionsAndHints_data() {
        const char* rows[][3] = {
            {"ServicesButton", "Services", ""},
            {"LogFileButton", "Logs", ""},
            {"MiscButton", "Misc", ""},
            {"OkButton", "OK", ""},
            {"CancelButton", "Cancel", ""},
            {"RegularFetchCheck", "Enable regular fetches", "Enable or disable regular uplink mail fetches"},
            {"FiltersCheck", "Enable filters", "Enable or disable mail filters"},
            {"AutoAddCheck", "Auto add received IP filters",
             "Automatically add a received reject filter when a message matches a body reject filter"},
            {"PopServerCheck", "Enable POP server", "Enable or disable internal POP3 server on \"localhost\""},
            {"ProxyCheck", "Enable proxy", "Enable or disable the proxy service"},
            {"TLDCheck", "Enabled", "Enable top level domain checks"},
            {"ReverseDnsCheck", "Enable reverse dns lookup", "Enable reverse dns lookup to resolve received ip addresses"},
            {"LogAcceptedCheck", "Accepted / Ok", "Log accepted messages"},
            {"LogTrashedCheck", "Trashed", "Log trashed messages"},
            {"LogQuarantinedCheck", "Quarantined / Unknown", "Log quarantined or unknown messages"},
            {"LogRejectedCheck", "Rejected", "Log rejected messages"},
            {"LogRedirectedCheck", "Redirected", ""},
            {"LogErrorsCheck", "Errors", "Log uplink connection errors"},
            {"LogAutoReplyCheck", "Auto reply", ""},
            {"LogMailbotCheck", "Mailbot", ""},
            {"StatusConnectionsCheck", "Connections", "Log incoming POP3 server connections"},
            {"StatusSuccessfulCheck", "Successful connections", "Log validated incoming POP3 server connections"},
            {"StatusFailedCheck", "Failed connections", "Log failed incoming POP3 server connections"},
            {"StatusQuitCheck", "Connections quit", "Log successful termination of incoming POP3 server connections"},
            {"StatusFetchCheck", "Fetch", "Log results of uplink fetches"},
            {"StatusFilterCheck", "Filter", "Log results of filtering"},
            {"StatusSyncCheck", "Synchronisations", "Log account synchronisations"},
            {"StatusRdnsCheck", "Reverse DNS", "Log filter reverse DNS lookups"},
            {"ColourButton", "Colour", "The background colour of the windows"},
            {"LoadOnStartupCheck", "Start when I log in", "Start Vorla when you log in to the desktop"},
        };
        AddControlRows(rows);
    }
    void TheControlsCarryTheirNamesCaptionsAndHints() {
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        TPrefsEditor editor(engine);
        TPrefsForm form(editor, nullptr);
        CompareControlRow(form, true);
    }

    // The window's frame, its groups, its number boxes' bounds and the labels beside the boxes.
    void TheWindowOpensOnServicesWithItsGroupsAndBoxes() {
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        engine.SetTimerInterval(90500);
        TPrefsEditor editor(engine);
        TPrefsForm form(editor, nullptr);
        QCOMPARE(form.windowTitle(), QString("Preferences"));
        QCOMPARE(form.size(), QSize(752, 452));
        QVERIFY(form.isModal());
        QVERIFY(form.findChild<QPushButton*>("OkButton")->isDefault());
        QVERIFY(form.findChild<QAbstractButton*>("ServicesButton")->isChecked());
        QStringList groups;
        for (auto* group : form.findChildren<QGroupBox*>()) groups << group->title();
        groups.sort();
        QCOMPARE(groups, (QStringList{"Fetch", "Filter Unwanted Top Level Domains", "Filters", "Log File Activity",
                                      "Miscellaneous", "POP3 Server", "Status History Activity"}));
        auto* pages = form.findChild<QStackedWidget*>();
        QCOMPARE(pages->currentIndex(), 0);
        form.findChild<QAbstractButton*>("MiscButton")->click();
        QCOMPARE(pages->currentIndex(), 2);
        QVERIFY(!form.findChild<QAbstractButton*>("ServicesButton")->isChecked());

        QCOMPARE(form.findChild<QSpinBox*>("FetchIntervalEdit")->value(), 90);
        auto range = [&](const char* name) {
            auto* box = form.findChild<QSpinBox*>(name);
            return box ? std::pair{box->minimum(), box->maximum()} : std::pair{0, 0};
        };
        QCOMPARE(range("PopServerPort"), (std::pair{1, 65535}));
        QCOMPARE(range("PurgeDaysSpin"), (std::pair{0, 32766}));
        QVERIFY(range("FetchIntervalEdit").first < 0);  // no bounds: OK checks the value
        QVERIFY(range("StatusHistoryEdit").first < 0);
        QVERIFY(range("LogTrimDaysEdit").first < 0);
        QVERIFY(range("ReverseDnsTimeoutSpin").first < 0);
        for (const char* name : {"PopServerIPAddress", "ReverseDnsHost", "DNSEdit", "TrustedCaEdit",
                                 "StlsCertificateEdit", "StlsKeyEdit"})
            QVERIFY2(form.findChild<QLineEdit*>(name), name);
        QStringList pageNames;
        auto* combo = form.findChild<QComboBox*>("PageCombo");
        for (int i = 0; i < combo->count(); ++i) pageNames << combo->itemText(i);
        QCOMPARE(pageNames, (QStringList{"Mail", "Log"}));
        QStringList labels;
        for (auto* label : form.findChildren<QLabel*>()) labels << label->text();
        for (const char* text : {"Fetch interval", "seconds", "when a message matches a body reject filter",
                                 "Bind IP Address", "Bind Port", "Reverse DNS Host", "Timeout", "Trim log file after",
                                 "days", "Status history size", "entries", "Opening page", "Purge trash after",
                                 "Outbound DNS Host (when sending direct)"})
            QVERIFY2(labels.contains(text), text);
        auto* list = form.findChild<QListWidget*>("TldCheckList");
        QVERIFY(list->count() > 100);  // the default table
        QCOMPARE(list->item(0)->flags() & Qt::ItemIsUserCheckable, Qt::ItemIsUserCheckable);
    }

    void ClickingTheDomainChecksEnablesTheControlsBelow() {
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        TPrefsEditor editor(engine);
        TPrefsForm form(editor, nullptr);
        auto* tld = form.findChild<QCheckBox*>("TLDCheck");
        auto* rdns = form.findChild<QCheckBox*>("ReverseDnsCheck");
        auto enabled = [&] {
            QString states;
            for (const char* name : {"TldCheckList", "ReverseDnsCheck", "ReverseDnsHost", "ReverseDnsTimeoutSpin"})
                states += form.findChild<QWidget*>(name)->isEnabled() ? '1' : '0';
            return states;
        };
        // Defaults: domain checks on, reverse lookups off.
        QCOMPARE(enabled(), QString("1100"));
        rdns->click();
        QCOMPARE(enabled(), QString("1111"));
        tld->click();
        QCOMPARE(enabled(), QString("0000"));
        auto* stls = form.findChild<QCheckBox*>("StlsCheck");
        QVERIFY(!form.findChild<QLineEdit*>("StlsCertificateEdit")->isEnabled());
        stls->click();
        QVERIFY(form.findChild<QLineEdit*>("StlsCertificateEdit")->isEnabled());
    }

    // From the main window: Prefs, a new interval and colour, OK: the settings file holds them
    // and the main window takes the colour. Then Prefs, a change, Cancel: nothing changes.
    void PrefsOkStoresTheValuesAndCancelDropsThem() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        const QString ini = QString::fromStdString(m_home->Path() + "vorla.ini");
        bool seen = false;
        QColor dialogColour;
        QTimer::singleShot(0, [&] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!form || form->objectName() != "PrefsForm") return;
            seen = true;
            form->findChild<QSpinBox*>("FetchIntervalEdit")->setValue(300);
            // The colour chooser, answered with dark green.
            QTimer::singleShot(0, [] {
                auto* chooser = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
                if (!chooser) return;
                chooser->setCurrentColor(QColor(0, 100, 0));
                chooser->accept();
            });
            form->findChild<QAbstractButton*>("ColourButton")->click();
            dialogColour = form->palette().color(QPalette::Window);
            form->findChild<QAbstractButton*>("OkButton")->click();
        });
        window.findChild<QAbstractButton*>("PrefsButton")->click();
        QVERIFY(seen);
        QCOMPARE(dialogColour, QColor(0, 100, 0));  // at once, before OK
        QVERIFY(!QApplication::activeModalWidget());
        TIniFile file(ini.toStdString());
        QCOMPARE(file.ReadInteger("options", "timerinterval", 0), 300000LL);
        QCOMPARE(file.ReadInteger("options", "color", 0), static_cast<long long>(100 << 8));
        QCOMPARE(window.palette().color(QPalette::Window), QColor(0, 100, 0));

        seen = false;
        QTimer::singleShot(0, [&] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!form || form->objectName() != "PrefsForm") return;
            seen = form->findChild<QSpinBox*>("FetchIntervalEdit")->value() == 300;
            form->findChild<QSpinBox*>("FetchIntervalEdit")->setValue(5);
            form->findChild<QAbstractButton*>("CancelButton")->click();
        });
        window.findChild<QAbstractButton*>("PrefsButton")->click();
        QVERIFY(seen);
        QCOMPARE(window.Form()->Engine().TimerInterval(), 300000);
        QCOMPARE(TIniFile(ini.toStdString()).ReadInteger("options", "timerinterval", 0), 300000LL);
        window.close();
    }

private:
    std::unique_ptr<TTestHome> m_home;
    std::unique_ptr<TTempDir> m_config;
    std::optional<std::string> m_oldConfig;
};

int RunPrefsFormTests(int argc, char** argv) {
    PrefsFormTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "PrefsFormTest.moc"
