#include "ui/widgets/PrefsForm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <exception>

#include "ui/widgets/QtText.h"
#include "ui/widgets/WidgetKit.h"

namespace vorla {
namespace {

QColor ToQColor(const TRgb& rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

// A number box, by default without bounds: OK checks what the user typed.
QSpinBox* NumberBox(QWidget* parent, const char* name, const char* hint, int min = INT_MIN, int max = INT_MAX) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(name);
    box->setRange(min, max);
    box->setToolTip(hint);
    return box;
}

QLineEdit* TextEdit(QWidget* parent, const char* name, const char* hint = "") {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setToolTip(hint);
    return edit;
}

// caption [control] unit, on one line.
QWidget* Row(QWidget* parent, const char* caption, QWidget* control, const char* unit = nullptr) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(caption, row);
    label->setBuddy(control);
    layout->addWidget(label);
    control->setParent(row);
    layout->addWidget(control, unit ? 0 : 1);
    if (unit) {
        layout->addWidget(new QLabel(unit, row));
        layout->addStretch(1);
    }
    return row;
}

// A line edit with a "..." button that picks a file into it.
QWidget* FileRow(QWidget* parent, const char* caption, QLineEdit* edit, const char* title) {
    auto* row = Row(parent, caption, edit);
    auto* browse = new QToolButton(row);
    browse->setObjectName(edit->objectName() + "Browse");
    browse->setText("...");
    browse->setToolTip(title);
    row->layout()->addWidget(browse);
    QObject::connect(browse, &QToolButton::clicked, row, [edit, title, row] {
        const QString file = QFileDialog::getOpenFileName(row, title, edit->text(),
                                                          "PEM files (*.pem *.crt *.key);;All files (*)");
        if (!file.isEmpty()) edit->setText(file);
    });
    return row;
}

// Gives the captions of rows made by Row one width, so that their boxes line up.
void AlignCaptions(std::initializer_list<QWidget*> rows) {
    int width = 0;
    for (QWidget* row : rows)
        if (auto* label = row->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
            width = std::max(width, label->sizeHint().width());
    for (QWidget* row : rows)
        if (auto* label = row->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) label->setFixedWidth(width);
}

}  // namespace

TPrefsForm::TPrefsForm(TPrefsEditor& editor, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      m_editor(editor) {
    setObjectName("PrefsForm");
    setWindowTitle("Preferences");
    setModal(true);
    QFont font = QFontDatabase::hasFamily("Verdana") ? QFont("Verdana") : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    setFont(font);

    auto* layout = new QVBoxLayout(this);
    auto* pageRow = new QHBoxLayout;
    m_pageButtons = new QButtonGroup(this);
    m_pageButtons->setExclusive(true);
    const char* pageButtons[][2] = {{"ServicesButton", "Services"}, {"LogFileButton", "Logs"}, {"MiscButton", "Misc"}};
    for (int page = 0; page < TPrefsEditor::kPageCount; ++page) {
        auto* button = new QToolButton(this);
        button->setObjectName(pageButtons[page][0]);
        button->setText(pageButtons[page][1]);
        button->setCheckable(true);
        button->setMinimumWidth(80);
        m_pageButtons->addButton(button, page);
        pageRow->addWidget(button);
    }
    pageRow->addStretch(1);
    layout->addLayout(pageRow);
    connect(m_pageButtons, &QButtonGroup::idClicked, this, [this](int page) { ButtonClick(page); });

    m_pages = new QStackedWidget(this);
    m_pages->addWidget(BuildServicesPage());
    m_pages->addWidget(BuildLogsPage());
    m_pages->addWidget(BuildMiscPage());
    layout->addWidget(m_pages, 1);

    const TOkCancelRow buttons = NewOkCancelRow(this, "OkButton");
    layout->addLayout(buttons.row);
    m_okButton = buttons.ok;
    connect(buttons.ok, &QPushButton::clicked, this, [this] { OkButtonClick(); });

    ShowValues();
    ButtonClick(m_editor.Page());
    ApplyBackground();
    // Connected after the values are shown: only the user's clicks change the enabling.
    for (QCheckBox* box : {m_tldCheck, m_reverseDnsCheck, m_stlsCheck})
        connect(box, &QCheckBox::toggled, this, [this] {
            ReadValues();
            ShowEnabling();
        });
    setFixedSize(kClientWidth, kClientHeight);
    if (parent) {
        const QPoint centre = parent->mapToGlobal(parent->rect().center());
        move(centre.x() - kClientWidth / 2, centre.y() - kClientHeight / 2);
    }
}

QCheckBox* TPrefsForm::AddCheck(QWidget* parent, const char* name, const char* caption, const char* hint,
                                bool TPrefsValues::*value) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setToolTip(hint);
    m_checks.push_back({box, value});
    return box;
}

void TPrefsForm::AddChecks(QWidget* group, QLayout* layout, std::span<const TCheckRow> rows) {
    for (const TCheckRow& row : rows) layout->addWidget(AddCheck(group, row.name, row.caption, row.hint, row.value));
}

QWidget* TPrefsForm::BuildServicesPage() {
    auto* page = new QWidget;
    page->setObjectName("ServicesPage");
    auto* columns = new QHBoxLayout(page);
    columns->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    columns->addLayout(left, 1);

    auto* fetch = new QGroupBox("Fetch", page);
    auto* fetchLayout = new QVBoxLayout(fetch);
    fetchLayout->addWidget(AddCheck(fetch, "RegularFetchCheck", "Enable regular fetches",
                                    "Enable or disable regular uplink mail fetches", &TPrefsValues::regularFetch));
    m_fetchInterval = NumberBox(fetch, "FetchIntervalEdit", "Interval in seconds between uplink mail fetches");
    fetchLayout->addWidget(Row(fetch, "Fetch interval", m_fetchInterval, "seconds"));
    left->addWidget(fetch);

    auto* filters = new QGroupBox("Filters", page);
    auto* filtersLayout = new QVBoxLayout(filters);
    filtersLayout->addWidget(AddCheck(filters, "FiltersCheck", "Enable filters", "Enable or disable mail filters",
                                      &TPrefsValues::filters));
    filtersLayout->addWidget(AddCheck(filters, "AutoAddCheck", "Auto add received IP filters",
                                      "Automatically add a received reject filter when a message matches a body reject filter",
                                      &TPrefsValues::autoAdd));
    auto* note = new QLabel("when a message matches a body reject filter", filters);
    note->setObjectName("AutoAddNote");
    note->setIndent(20);
    filtersLayout->addWidget(note);
    left->addWidget(filters);

    auto* server = new QGroupBox("POP3 Server", page);
    auto* serverLayout = new QGridLayout(server);
    serverLayout->addWidget(AddCheck(server, "PopServerCheck", "Enable POP server",
                                     "Enable or disable internal POP3 server on \"localhost\"", &TPrefsValues::popServer),
                            0, 0);
    serverLayout->addWidget(AddCheck(server, "ProxyCheck", "Enable proxy", "Enable or disable the proxy service",
                                     &TPrefsValues::proxy),
                            0, 1);
    m_bindAddress = TextEdit(server, "PopServerIPAddress");
    serverLayout->addWidget(Row(server, "Bind IP Address", m_bindAddress), 1, 0);
    m_bindPort = NumberBox(server, "PopServerPort", "", 1, 65535);
    serverLayout->addWidget(Row(server, "Bind Port", m_bindPort), 1, 1);
    m_stlsCheck = AddCheck(server, "StlsCheck", "Offer STLS (TLS for mail clients)",
                           "Let mail clients switch their connection to TLS with this certificate and key",
                           &TPrefsValues::stls);
    serverLayout->addWidget(m_stlsCheck, 2, 0, 1, 2);
    m_certificateFile = TextEdit(server, "StlsCertificateEdit", "PEM file with the server's certificate (chain)");
    m_certificateRow = FileRow(server, "Certificate", m_certificateFile, "Choose the certificate file");
    serverLayout->addWidget(m_certificateRow, 3, 0, 1, 2);
    m_keyFile = TextEdit(server, "StlsKeyEdit", "PEM file with the certificate's private key");
    m_keyRow = FileRow(server, "Private key", m_keyFile, "Choose the private key file");
    serverLayout->addWidget(m_keyRow, 4, 0, 1, 2);
    AlignCaptions({m_certificateRow, m_keyRow});
    left->addWidget(server);
    left->addStretch(1);

    auto* tld = new QGroupBox("Filter Unwanted Top Level Domains", page);
    auto* tldLayout = new QVBoxLayout(tld);
    m_tldCheck = AddCheck(tld, "TLDCheck", "Enabled", "Enable top level domain checks", &TPrefsValues::tldCheck);
    tldLayout->addWidget(m_tldCheck);
    m_tldList = new QListWidget(tld);
    m_tldList->setObjectName("TldCheckList");
    tldLayout->addWidget(m_tldList, 1);
    m_reverseDnsCheck = AddCheck(tld, "ReverseDnsCheck", "Enable reverse dns lookup",
                                 "Enable reverse dns lookup to resolve received ip addresses", &TPrefsValues::reverseDns);
    tldLayout->addWidget(m_reverseDnsCheck);
    m_reverseDnsHost = TextEdit(tld, "ReverseDnsHost");
    tldLayout->addWidget(Row(tld, "Reverse DNS Host", m_reverseDnsHost));
    m_reverseDnsTimeout = NumberBox(tld, "ReverseDnsTimeoutSpin", "");
    tldLayout->addWidget(Row(tld, "Timeout", m_reverseDnsTimeout, "seconds"));
    columns->addWidget(tld, 1);
    return page;
}

QWidget* TPrefsForm::BuildLogsPage() {
    auto* page = new QWidget;
    page->setObjectName("LogsPage");
    auto* columns = new QHBoxLayout(page);
    columns->setContentsMargins(0, 0, 0, 0);

    auto* log = new QGroupBox("Log File Activity", page);
    auto* logLayout = new QVBoxLayout(log);
    const TCheckRow logChecks[] = {
        {"LogAcceptedCheck", "Accepted / Ok", "Log accepted messages", &TPrefsValues::logAccepted},
        {"LogTrashedCheck", "Trashed", "Log trashed messages", &TPrefsValues::logTrashed},
        {"LogQuarantinedCheck", "Quarantined / Unknown", "Log quarantined or unknown messages", &TPrefsValues::logQuarantined},
        {"LogRejectedCheck", "Rejected", "Log rejected messages", &TPrefsValues::logRejected},
        {"LogRedirectedCheck", "Redirected", "", &TPrefsValues::logRedirected},
        {"LogErrorsCheck", "Errors", "Log uplink connection errors", &TPrefsValues::logErrors},
        {"LogAutoReplyCheck", "Auto reply", "", &TPrefsValues::logAutoReply},
        {"LogMailbotCheck", "Mailbot", "", &TPrefsValues::logMailbot},
    };
    AddChecks(log, logLayout, logChecks);
    m_logTrimDays = NumberBox(log, "LogTrimDaysEdit", "Remove entries from log file older than specified days");
    logLayout->addWidget(Row(log, "Trim log file after", m_logTrimDays, "days"));
    logLayout->addStretch(1);
    columns->addWidget(log, 1);

    auto* status = new QGroupBox("Status History Activity", page);
    auto* statusLayout = new QVBoxLayout(status);
    const TCheckRow statusChecks[] = {
        {"StatusConnectionsCheck", "Connections", "Log incoming POP3 server connections", &TPrefsValues::statusConnections},
        {"StatusSuccessfulCheck", "Successful connections", "Log validated incoming POP3 server connections",
         &TPrefsValues::statusSuccessful},
        {"StatusFailedCheck", "Failed connections", "Log failed incoming POP3 server connections", &TPrefsValues::statusFailed},
        {"StatusQuitCheck", "Connections quit", "Log successful termination of incoming POP3 server connections",
         &TPrefsValues::statusQuit},
        {"StatusFetchCheck", "Fetch", "Log results of uplink fetches", &TPrefsValues::statusFetch},
        {"StatusFilterCheck", "Filter", "Log results of filtering", &TPrefsValues::statusFilter},
        {"StatusSyncCheck", "Synchronisations", "Log account synchronisations", &TPrefsValues::statusSync},
        {"StatusRdnsCheck", "Reverse DNS", "Log filter reverse DNS lookups", &TPrefsValues::statusRdns},
    };
    AddChecks(status, statusLayout, statusChecks);
    m_statusHistory = NumberBox(status, "StatusHistoryEdit",
                                "Limit the size of the status history to the selected number of entries");
    statusLayout->addWidget(Row(status, "Status history size", m_statusHistory, "entries"));
    statusLayout->addStretch(1);
    columns->addWidget(status, 1);
    return page;
}

QWidget* TPrefsForm::BuildMiscPage() {
    auto* page = new QWidget;
    page->setObjectName("MiscPage");
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* misc = new QGroupBox("Miscellaneous", page);
    auto* layout = new QVBoxLayout(misc);
    m_pageCombo = new QComboBox(misc);
    m_pageCombo->setObjectName("PageCombo");
    m_pageCombo->addItems({"Mail", "Log"});
    QWidget* pageRow = Row(misc, "Opening page", m_pageCombo, "");
    m_purgeDays = NumberBox(misc, "PurgeDaysSpin", "", 0, TPrefsEditor::kMaxPurgeDays);
    QWidget* purgeRow = Row(misc, "Purge trash after", m_purgeDays, "days");
    m_dnsEdit = TextEdit(misc, "DNSEdit");
    QWidget* dnsRow = Row(misc, "Outbound DNS Host (when sending direct)", m_dnsEdit);
    m_trustedCa = TextEdit(misc, "TrustedCaEdit",
                           "A PEM file or folder of certificates to trust for TLS besides the system's own, for a "
                           "provider with a certificate of its own making");
    QWidget* caRow = FileRow(misc, "Trusted certificates", m_trustedCa, "Choose the trusted certificates file");
    for (QWidget* row : {pageRow, purgeRow, dnsRow, caRow}) layout->addWidget(row);
    AlignCaptions({pageRow, purgeRow, dnsRow, caRow});
    auto* colour = new QPushButton("Colour", misc);
    colour->setObjectName("ColourButton");
    colour->setToolTip("The background colour of the windows");
    connect(colour, &QPushButton::clicked, this, [this] { ColourButtonClick(); });
    auto* colourRow = new QHBoxLayout;
    colourRow->addWidget(colour);
    colourRow->addStretch(1);
    layout->addLayout(colourRow);
    layout->addWidget(AddCheck(misc, "LoadOnStartupCheck", "Start when I log in",
                               "Start Vorla when you log in to the desktop", &TPrefsValues::loadOnStartup));
    outer->addWidget(misc);
    outer->addStretch(1);
    return page;
}

void TPrefsForm::ShowValues() {
    const TPrefsValues& v = m_editor.Values();
    for (const TCheck& check : m_checks) check.box->setChecked(v.*check.value);
    auto number = [](long long value) { return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX)); };
    m_fetchInterval->setValue(number(v.fetchIntervalSeconds));
    m_bindAddress->setText(Q(v.bindAddress));
    m_bindPort->setValue(v.bindPort);
    m_certificateFile->setText(Q(v.certificateFile));
    m_keyFile->setText(Q(v.keyFile));
    m_tldList->clear();
    for (const TTldLine& line : v.tldLines) {
        auto* item = new QListWidgetItem(Q(line.text), m_tldList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(line.checked ? Qt::Checked : Qt::Unchecked);
    }
    m_reverseDnsHost->setText(Q(v.reverseDnsHost));
    m_reverseDnsTimeout->setValue(number(v.reverseDnsTimeout));
    m_logTrimDays->setValue(number(v.logTrimDays));
    m_statusHistory->setValue(number(v.statusHistorySize));
    m_pageCombo->setCurrentIndex(v.openingPage);
    m_purgeDays->setValue(v.purgeDays);
    m_dnsEdit->setText(Q(v.outboundDns));
    m_trustedCa->setText(Q(v.trustedCa));
    ShowEnabling();
}

void TPrefsForm::ReadValues() {
    TPrefsValues& v = m_editor.Values();
    for (const TCheck& check : m_checks) v.*check.value = check.box->isChecked();
    v.fetchIntervalSeconds = m_fetchInterval->value();
    v.bindAddress = m_bindAddress->text().trimmed().toStdString();
    v.bindPort = m_bindPort->value();
    v.certificateFile = m_certificateFile->text().toStdString();
    v.keyFile = m_keyFile->text().toStdString();
    for (int i = 0; i < m_tldList->count() && i < static_cast<int>(v.tldLines.size()); ++i)
        v.tldLines[static_cast<std::size_t>(i)].checked = m_tldList->item(i)->checkState() == Qt::Checked;
    v.reverseDnsHost = m_reverseDnsHost->text().trimmed().toStdString();
    v.reverseDnsTimeout = m_reverseDnsTimeout->value();
    v.logTrimDays = m_logTrimDays->value();
    v.statusHistorySize = m_statusHistory->value();
    v.openingPage = m_pageCombo->currentIndex();
    v.purgeDays = m_purgeDays->value();
    v.outboundDns = m_dnsEdit->text().trimmed().toStdString();
    v.trustedCa = m_trustedCa->text().toStdString();
}

void TPrefsForm::ShowEnabling() {
    const TPrefsEnabling enabling = m_editor.Enabling();
    m_tldList->setEnabled(enabling.tldList);
    m_reverseDnsCheck->setEnabled(enabling.reverseDnsCheck);
    m_reverseDnsHost->setEnabled(enabling.reverseDnsHost);
    m_reverseDnsTimeout->setEnabled(enabling.reverseDnsTimeout);
    m_certificateRow->setEnabled(enabling.stlsFiles);
    m_keyRow->setEnabled(enabling.stlsFiles);
}

void TPrefsForm::ApplyBackground() {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ToQColor(m_editor.Color()));
    setPalette(palette);
}

void TPrefsForm::ButtonClick(int page) {
    m_editor.ButtonClick(page);
    m_pages->setCurrentIndex(m_editor.Page());
    m_pageButtons->button(m_editor.Page())->setChecked(true);
}

void TPrefsForm::ColourButtonClick() {
    const QColor chosen = QColorDialog::getColor(ToQColor(m_editor.Color()), this, "Colour");
    if (!chosen.isValid()) return;  // the chooser was cancelled
    m_editor.ColourChosen({chosen.red(), chosen.green(), chosen.blue()});
    ApplyBackground();
}

void TPrefsForm::OkButtonClick() {
    ReadValues();
    std::vector<std::string> messages;
    {
        TBusyCursor busy;
        try {
            messages = m_editor.OkButtonClick();
        } catch (const std::exception& e) {
            messages.push_back(e.what());
        }
    }
    for (const std::string& text : messages) QMessageBox::warning(this, "Vorla", Q(text));
    accept();
}

void TPrefsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    m_okButton->setFocus();
}

}  // namespace vorla
