#pragma once
#include <QDialog>

#include <span>
#include <vector>

#include "ui/PrefsForm.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLayout;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QStackedWidget;

// The modal preferences window: three pages of controls, each showing one setting. It shows
// what TPrefsEditor loaded, hands the edits back to it and lets it apply them on OK.
namespace vorla {

class TPrefsForm : public QDialog {
public:
    static constexpr int kClientWidth = 752;
    static constexpr int kClientHeight = 452;

    // editor outlives the window. Centred on parent; background = the editor's colour.
    TPrefsForm(TPrefsEditor& editor, QWidget* parent);

    // OK: the edits go to the editor, which applies and saves them; its messages are shown
    // one by one; then the window closes.
    void OkButtonClick();
    // The colour chooser; a chosen colour becomes the background at once.
    void ColourButtonClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct TCheck {
        QCheckBox* box;
        bool TPrefsValues::*value;
    };

    QWidget* BuildServicesPage();
    QWidget* BuildLogsPage();
    QWidget* BuildMiscPage();
    struct TCheckRow {
        const char *name, *caption, *hint;
        bool TPrefsValues::*value;
    };

    QCheckBox* AddCheck(QWidget* parent, const char* name, const char* caption, const char* hint,
                        bool TPrefsValues::*value);
    void AddChecks(QWidget* group, QLayout* layout, std::span<const TCheckRow> rows);
    void ShowValues();
    void ReadValues();
    void ShowEnabling();
    void ApplyBackground();
    void ButtonClick(int page);

    TPrefsEditor& m_editor;
    std::vector<TCheck> m_checks;

    // Widgets: owned by their Qt parents.
    QButtonGroup* m_pageButtons = nullptr;
    QStackedWidget* m_pages = nullptr;
    QCheckBox* m_tldCheck = nullptr;
    QCheckBox* m_reverseDnsCheck = nullptr;
    QCheckBox* m_stlsCheck = nullptr;
    QSpinBox* m_fetchInterval = nullptr;
    QLineEdit* m_bindAddress = nullptr;
    QSpinBox* m_bindPort = nullptr;
    QLineEdit* m_certificateFile = nullptr;
    QLineEdit* m_keyFile = nullptr;
    QWidget* m_certificateRow = nullptr;
    QWidget* m_keyRow = nullptr;
    QListWidget* m_tldList = nullptr;
    QLineEdit* m_reverseDnsHost = nullptr;
    QSpinBox* m_reverseDnsTimeout = nullptr;
    QSpinBox* m_logTrimDays = nullptr;
    QSpinBox* m_statusHistory = nullptr;
    QComboBox* m_pageCombo = nullptr;
    QSpinBox* m_purgeDays = nullptr;
    QLineEdit* m_dnsEdit = nullptr;
    QLineEdit* m_trustedCa = nullptr;
    QWidget* m_okButton = nullptr;
};

}  // namespace vorla
