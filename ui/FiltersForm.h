#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "filters/ZivadFilterItem.h"

// The filters editor's behaviour, without the toolkit: which rules the list shows and in what
// order, the edit panel and its write-back, and the toolbar commands (add, delete, find,
// import, export, merge, IP lookup, Sub IP, move, help). The window (TFiltersForm) builds the
// controls, forwards their events here, answers the questions through TFiltersUser and redraws
// what OnChanged names. The merge level dialog's behaviour is TMergeLevel.
namespace vorla {

class TZivad;
class TZivadFilters;

// What a file chooser is asked to show.
struct TFileChoice {
    std::string title;                                  // "Export Filters" / "Import Filters"
    std::string filter = "Text files|*.txt|All files|*.*";  // description|mask pairs
    std::string defaultExtension = "txt";
    std::string folder;    // where it starts
    std::string fileName;  // proposed name (save only)
    bool overwritePrompt = false;  // asks before replacing an existing file
    bool mustExist = false;        // only existing files may be chosen
};

// The questions, messages and file choosers of the editor. The window answers them with its
// dialogs; tests answer them from a script.
class TFiltersUser {
public:
    enum class TAnswer { Yes, No, Cancel };
    virtual ~TFiltersUser() = default;
    // A one-line prompt window; nullopt when it was cancelled.
    virtual std::optional<std::string> AskText(const std::string& caption, const std::string& prompt,
                                               const std::string& value) = 0;
    // A confirmation with Yes and No, and Cancel when withCancel.
    virtual TAnswer Confirm(const std::string& text, bool withCancel) = 0;
    // An information message with one OK button. Lines end in CR LF.
    virtual void Inform(const std::string& text) = 0;
    // An input/output error to report.
    virtual void ShowError(const std::string& text) = 0;
    virtual std::optional<std::string> ChooseSaveFile(const TFileChoice& choice) = 0;
    virtual std::optional<std::string> ChooseOpenFile(const TFileChoice& choice) = 0;
    // The merge level dialog (TMergeLevel); the level on OK, nullopt otherwise.
    virtual std::optional<int> AskMergeLevel() = 0;
    // The busy cursor on or off; calls nest.
    virtual void Busy(bool on) = 0;
};

// The two exclusive toggles under the toolbar.
enum class TFiltersView { Accept, Reject };

class TFiltersEditor {
public:
    // What changed since the window last drew it; OnChanged gets an OR of these.
    enum TPart : unsigned {
        kCaption = 1u << 0,        // Caption
        kRows = 1u << 1,           // Rows, Selected, Footer: the whole list
        kRow = 1u << 2,            // Rows()[ChangedRow()] only
        kSelection = 1u << 3,      // Selected, and the row is scrolled into view
        kPanel = 1u << 4,          // Panel
        kEnabled = 1u << 5,        // RowControlsEnabled
        kMoveMenu = 1u << 6,       // MoveMenu
        kFocusDescription = 1u << 7,  // the focus goes to the description field
        kFocusList = 1u << 8,         // the focus goes to the rule list
    };
    // The list's columns, in their order.
    enum class TColumn { Description, Section, Search, Count, LastUsed };
    static constexpr int kColumnCount = 5;
    struct TRow {
        TZivadFilterItem* rule;  // valid until the next kRows
        std::string description, section, search, count, lastUsed;
        bool active;  // the check box
    };
    // The four fields of the edit panel. section: position in SectionNames(), -1 for none.
    struct TPanel {
        std::string description;
        int section = -1;
        std::string search;
        bool active = false;
    };
    struct TMoveItem {
        std::string caption;  // an account's name, "Global", or "-" for the separator
        bool checked = false;
    };
    enum class TExportCommand { Button, None, Accept, Reject, All };

    // engine: the accounts and the global list a rule can be moved to; user answers the
    // questions. Both outlive the editor. UI thread.
    TFiltersEditor(TZivad& engine, TFiltersUser& user);
    TFiltersEditor(const TFiltersEditor&) = delete;
    TFiltersEditor& operator=(const TFiltersEditor&) = delete;

    // Called with the parts to redraw. The window reads them back.
    std::function<void(unsigned parts)> OnChanged;

    // The list to edit (it outlives the editor, or the next Bind), then Refresh.
    void Bind(TZivadFilters& list);
    TZivadFilters* List() const { return m_list; }
    // An account's list: the caption names it and the Move menu offers "Global" too.
    void SetAccountName(const std::string& name);
    const std::string& Caption() const { return m_caption; }

    // Opening the window: the Move menu and the enabled controls.
    void FormShow();
    // "None", "From", ... "Received IP": what the section drop-down lists, in number order.
    static std::vector<std::string> SectionNames();
    // Titles and widths of the list's columns.
    static const std::array<const char*, kColumnCount> kColumnTitles;
    static const std::array<int, kColumnCount> kColumnWidths;
    // The second, fourth, ... row is painted in the window's background colour.
    static bool RowInWindowColour(int row) { return row % 2 == 1; }

    TFiltersView View() const { return m_view; }
    // One of the view toggles was clicked: the list shows that view's rules.
    void ViewButtonClick(TFiltersView view);
    // Empties the panel and refills the rows from the list (recounted from the log).
    void Refresh();

    const std::vector<TRow>& Rows() const { return m_rows; }
    int ChangedRow() const { return m_changedRow; }
    int Selected() const { return m_selected; }  // -1: none
    std::string Footer() const;
    const TPanel& Panel() const { return m_panel; }
    // The edit-panel fields and Delete, IP Lookup, Sub IP and Move.
    bool RowControlsEnabled() const { return m_selected >= 0; }
    const std::vector<TMoveItem>& MoveMenu() const { return m_moveMenu; }

    // The list's selection moved to row (-1 or out of range: none).
    void SelectRow(int row);
    // One of the four panel fields changed; panel holds all four as the window shows them now.
    void PanelEdited(const TPanel& panel);
    // A row's check box was clicked: its rule's Active flag flips and the row is selected.
    void RowCheckClicked(int row);
    // A column header was clicked.
    void ColumnClick(int column);

    void FilterAddButtonClick();
    void FilterDeleteButtonClick();
    void FilterFindButtonClick();
    const std::string& FindText() const { return m_findText; }
    void FilterImportButtonClick();
    void ExportFilterClick(TExportCommand command);
    void MergeFiltersButtonClick();
    void FilterTldButtonClick();  // IP Lookup
    void SubIpButtonClick();
    // item: position in MoveMenu() (a separator does nothing).
    void FilterMoveMenuClick(int item);
    void FilterMoveButtonClick();
    // The help page to open, seen from the program's folder; empty (and said so) when missing.
    static constexpr const char* kHelpFile = "002.htm";
    std::string ToolButton1Click(const std::string& programDir);

private:
    struct TMoveTarget {
        std::string folderName;  // empty for the global list
    };
    TRow MakeRow(TZivadFilterItem& rule) const;
    void FillPanel();
    void ClearPanel();
    void SortRows();
    void RefillRow(int row);
    // Selects row when it exists, none otherwise (scrolling it into view).
    void SelectAfterRemoval(int row);
    void MoveSelectedTo(int item);
    TZivadFilters* MoveTargetList(int item);
    void Changed(unsigned parts);
    // The user's busy cursor for the lifetime of the object.
    class TBusy;

    TZivad& m_engine;
    TFiltersUser& m_user;
    TZivadFilters* m_list = nullptr;
    std::string m_accountName;
    std::string m_caption = "Filters";
    std::string m_findText;
    TFiltersView m_view = TFiltersView::Accept;
    std::vector<TRow> m_rows;
    int m_selected = -1;
    int m_changedRow = -1;
    TPanel m_panel;
    bool m_panelLocked = false;  // the panel is being filled: its changes are ours
    // Each column's last direction (+1 ascending, -1 descending); 0: never clicked.
    std::array<int, kColumnCount> m_columnDirection{};
    int m_sortColumn = -1;  // the last column clicked; -1: rows in description order
    std::vector<TMoveItem> m_moveMenu;
    std::vector<TMoveTarget> m_moveTargets;  // beside m_moveMenu
};

// The merge level dialog's behaviour: the level 1..4 and the sample that follows it.
class TMergeLevel {
public:
    static constexpr int kMinimum = 1;
    static constexpr int kMaximum = 4;
    static constexpr int kInitial = 3;
    int Value() const { return m_value; }
    // The number field changed; values outside 1..4 are brought into it.
    void SpinEdit1Change(int value);
    // "192.*.*.*", "192.168.*.*", "192.168.1.*" or "192.168.1.2".
    std::string Sample() const;

private:
    int m_value = kInitial;
};

}  // namespace vorla
