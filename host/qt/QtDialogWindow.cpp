#include "QtDialogWindow.h"

#include "QtGraph.h"
#include "QtUi.h"

#include "MC_PlotMenu.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QSvgRenderer>
#include <QTabBar>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <map>
#include <string_view>

namespace {

using K = ControlKind;

// Sizes in pixels at the default font.
constexpr int kNumberFieldWidth = 88;
constexpr int kGuidelineLines = 6;
constexpr int kGuidelineMinWidth = 330;
constexpr int kGraphWidth = 360;
constexpr int kGraphHeight = 220;
constexpr int kSpinArrowsWidth_px = 18;
constexpr int kWrapLabelAbove = 90;      // characters: longer labels wrap
constexpr int kWrapLabelWidth = 380;
constexpr int kShortOptionRun = 40;      // characters of labelled option buttons side by side
constexpr int kShortButtonRun = 40;      // characters of buttons side by side
constexpr int kColumnHeight = 640;       // a column of group boxes grows to about this height
constexpr int kMaxColumns = 4;
constexpr std::size_t kShortNote = 24;   // characters of a note that stays beside its field
constexpr int kSectionSpacing = 8;       // between group boxes, about the layouts' own spacing
constexpr int kButtonRowHeight = 40;     // the row of OK, Cancel and Help with its spacing

bool IsValue(const ControlTemplate& f) {
    return (f.kind == K::Edit && !f.multiline) || f.kind == K::UnitCombo || f.kind == K::DropDownList ||
           f.kind == K::Slider || f.kind == K::Spin;
}

bool IsButton(const ControlTemplate& f) { return f.kind == K::Button || f.kind == K::PictureButton; }

bool IsBlock(const ControlTemplate& f) {
    return f.kind == K::GroupBox || f.kind == K::Picture || f.kind == K::Graph || f.kind == K::BarGraph ||
           f.kind == K::StripChart || f.kind == K::TabBar || (f.kind == K::Edit && f.multiline);
}

bool IsBareOption(const ControlTemplate& f) { return f.kind == K::OptionButton && f.label.empty(); }

// The row of an option button within a grid of option buttons (0 the upper row), where the form
// gives one: the buttons of a column stand in form order because their values follow that order,
// which need not be the order of the rows.
int GridRowHint(const ControlTemplate& f) { return f.gridRow; }

bool IsStandardButton(int id) { return id == IDOK || id == IDCANCEL || id == IDHELP; }

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The text for a widget that underlines mnemonics: the form's own label while the control shows
// it ("&&" one ampersand, "&x" the mnemonic), else the shown text with its ampersands kept.
QString MnemonicText(const ControlState& c) {
    if (c.text == DisplayLabel(c.form->label)) return FromUtf8(c.form->label);
    QString text = FromUtf8(c.text);
    text.replace(QLatin1Char('&'), QLatin1String("&&"));
    return text;
}

// A picture of the forms, drawn at its own size and greyed when disabled.
// A spin control: a pair of arrows that steps its buddy; its count is not for reading.
class SpinArrows : public QSpinBox {
public:
    explicit SpinArrows(QWidget* parent) : QSpinBox(parent) {
        setFrame(false);
        setFocusPolicy(Qt::NoFocus);
        setFixedWidth(kSpinArrowsWidth_px);
    }

protected:
    QString textFromValue(int) const override { return {}; }
};

class PictureWidget : public QWidget {
public:
    explicit PictureWidget(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed); }

    void SetRenderer(QSvgRenderer* renderer) {
        m_renderer = renderer;
        updateGeometry();
        update();
    }
    QSize sizeHint() const override {
        return m_renderer && m_renderer->isValid() ? m_renderer->defaultSize() : QSize(0, 0);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!m_renderer || !m_renderer->isValid()) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (!isEnabled()) painter.setOpacity(0.4);
        m_renderer->render(&painter, QRectF(rect()));
    }

private:
    QSvgRenderer* m_renderer = nullptr;
};

// One row of a group's layout, as form indices.
struct Row {
    enum Lead { None, Label, Check, Option, Buttons, Block, Grid, Pairs };
    Lead lead = None;
    std::vector<std::size_t> items;
    bool hasValue = false;
    bool emptyLabels = false;  // every item a label the dialog fills in (the ends of a range)
    int textLength = 0;        // of the labelled option buttons or buttons side by side
    int columns = 0;           // Grid: the first `columns` labels head the columns,
    int rows = 0;              // the next `rows` labels the rows
};

}  // namespace

QtDialogWindow::QtDialogWindow(QtUi& ui, CDialog& dialog, QWidget* parent)
    : QDialog(parent), m_ui(ui), m_dialog(dialog) {
    setWindowTitle(FromUtf8(dialog.GetCaption()));
    BuildWidgets();
    // The texts and pictures first: the layout needs their sizes.
    ApplyStates();
    LayOut();
    // The layout names some options by the label beside them: such a label now reads "&&" as "&".
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        auto* label = qobject_cast<QLabel*>(m_entries[i].widget);
        if (label && label->buddy()) label->setText(MnemonicText(m_dialog.Controls()[i]));
    }
    SetTabOrder();
    // Every key pressed anywhere in the window passes the dialog's pre-translation first.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

QWidget* QtDialogWindow::WidgetOf(int controlId) const {
    const auto it = m_index.find(controlId);
    return it == m_index.end() ? nullptr : m_entries[it->second].widget;
}

// ---------------------------------------------------------------------------------------------
// Building

void QtDialogWindow::BuildWidgets() {
    const auto& controls = m_dialog.Controls();
    m_entries.resize(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        m_index.emplace(controls[i].form->id, i);
        m_entries[i].widget = CreateWidget(controls[i]);
        if (auto* edit = qobject_cast<QLineEdit*>(m_entries[i].widget)) m_editIndex.emplace(edit, i);
    }
    // A field's leading label carries its mnemonic.
    for (std::size_t i = 0; i + 1 < controls.size(); ++i) {
        if (controls[i].form->kind != K::StaticText || !IsValue(*controls[i + 1].form)) continue;
        if (controls[i].form->group != controls[i + 1].form->group) continue;
        static_cast<QLabel*>(m_entries[i].widget)->setBuddy(m_entries[i + 1].widget);
    }
}

namespace {

QWidget* CreateLabel(const ControlTemplate& f, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    if (DisplayLabel(f.label).size() > static_cast<std::size_t>(kWrapLabelAbove)) {
        label->setWordWrap(true);
        label->setMinimumWidth(kWrapLabelWidth);
    }
    return label;
}

// A multi-line field is the guideline text: read-only, a fixed number of lines high.
QWidget* CreateEdit(const ControlTemplate& f, QWidget* parent) {
    if (f.multiline) {
        auto* text = new QPlainTextEdit(parent);
        text->setReadOnly(true);
        text->setTabChangesFocus(true);
        text->setMinimumWidth(kGuidelineMinWidth);
        text->setFixedHeight(text->fontMetrics().lineSpacing() * kGuidelineLines + 2 * text->frameWidth() + 8);
        return text;
    }
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(f.readOnly);
    return edit;
}

}  // namespace

QWidget* QtDialogWindow::CreateWidget(const ControlState& control) {
    const ControlTemplate& f = *control.form;
    const int id = f.id;
    switch (f.kind) {
        case K::GroupBox: {
            auto* box = new QGroupBox(this);
            m_groups.emplace(id, box);
            return box;
        }
        case K::StaticText: return CreateLabel(f, this);
        case K::Edit: return CreateEdit(f, this);
        case K::UnitCombo:
        case K::DropDownList: {
            auto* list = new QComboBox(this);
            list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
            connect(list, &QComboBox::activated, this, [this, id](int index) {
                Act([&] { m_dialog.UserSelect(id, index); });
            });
            return list;
        }
        case K::CheckBox: {
            auto* check = new QCheckBox(this);
            connect(check, &QAbstractButton::clicked, this, [this, id] { Act([&] { m_dialog.UserClick(id); }); });
            return check;
        }
        case K::OptionButton: {
            auto* option = new QRadioButton(this);
            // The dialog decides which option is set (bound ones follow their parameter).
            option->setAutoExclusive(false);
            if (f.readOnly) {
                option->setAttribute(Qt::WA_TransparentForMouseEvents);
                option->setFocusPolicy(Qt::NoFocus);
            }
            connect(option, &QAbstractButton::clicked, this, [this, id] { Act([&] { m_dialog.UserClick(id); }); });
            return option;
        }
        case K::Button:
        case K::PictureButton: {
            auto* button = new QPushButton(this);
            button->setAutoDefault(false);
            if (id == IDOK) button->setDefault(true);
            connect(button, &QAbstractButton::clicked, this, [this, id] { Act([&] { m_dialog.UserClick(id); }); });
            return button;
        }
        case K::Slider: {
            auto* slider = new QSlider(Qt::Horizontal, this);
            connect(slider, &QSlider::valueChanged, this, [this, id](int position) {
                if (!m_applying) Act([&] { m_dialog.UserSetSliderPosition(id, position); });
            });
            return slider;
        }
        case K::Spin: {
            auto* spin = new SpinArrows(this);
            connect(spin, &QSpinBox::valueChanged, this, [this, id](int position) {
                if (!m_applying) Act([&] { m_dialog.UserSetSliderPosition(id, position); });
            });
            return spin;
        }
        case K::TabBar: {
            auto* tabs = new QTabBar(this);
            connect(tabs, &QTabBar::tabBarClicked, this, [this, id](int index) {
                if (index >= 0) Act([&] { m_dialog.UserSelect(id, index); });
            });
            return tabs;
        }
        case K::Picture:
            return new PictureWidget(this);
        case K::Graph: {
            auto* graph = new QtGraphView(m_dialog, id, this, [this, id](const QPoint& at) {
                const auto* owner = dynamic_cast<const PlotMenuOwner*>(&m_dialog);
                if (!owner || !owner->WantsPlotMenu(id)) return false;
                QMenu menu(this);
                for (const PlotMenuEntry& entry : kPlotMenu) {
                    const int command = entry.command;
                    QAction* action = menu.addAction(QString::fromUtf8(entry.text.data(), static_cast<qsizetype>(entry.text.size())));
                    connect(action, &QAction::triggered, this, [this, id, command] {
                        Act([&] { UserPlotMenu(m_dialog, id, command); });
                    });
                }
                menu.exec(at);
                return true;
            });
            graph->setMinimumSize(kGraphWidth, kGraphHeight);
            return graph;
        }
        case K::BarGraph:
            return new QtBarView(m_dialog, id, this);
        case K::StripChart: {
            auto* frame = new QFrame(this);
            frame->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
            frame->setMinimumSize(kGraphWidth, kGraphHeight);
            return frame;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Layout

namespace {

using Controls = std::vector<ControlState>;
using Members = std::vector<std::size_t>;  // form indices of a group's controls, in form order

// Option buttons without labels stand either in a grid under column labels and beside row
// labels (the labels come first), or each beside the label that follows the run. The blocks, by
// the position in `members` where each starts.
std::map<std::size_t, Row> FindOptionBlocks(const Controls& controls, const Members& members) {
    auto form = [&](std::size_t position) -> const ControlTemplate& { return *controls[members[position]].form; };
    const std::size_t count = members.size();
    std::map<std::size_t, Row> special;
    std::size_t taken = 0;                // positions before this belong to a block already
    for (std::size_t p = 0; p < count; ++p) {
        if (!IsBareOption(form(p))) continue;
        std::size_t q = p;
        while (q < count && IsBareOption(form(q))) ++q;
        const std::size_t n = q - p;
        std::size_t s = p;
        while (s > taken && form(s - 1).kind == K::StaticText) --s;
        const std::size_t labels = p - s;
        bool placed = false;
        for (std::size_t columns = labels; columns >= 1 && labels >= 2 && !placed; --columns) {
            const std::size_t rows = labels - columns;
            if (rows == 0 || rows > columns || columns * rows != n) continue;
            Row block{Row::Grid, {}, false, false, 0, static_cast<int>(columns), static_cast<int>(rows)};
            for (std::size_t k = s; k < q; ++k) block.items.push_back(members[k]);
            special.emplace(s, std::move(block));
            placed = true;
        }
        if (!placed) {
            std::size_t e = q;
            while (e < count && e - q < n && form(e).kind == K::StaticText) ++e;
            if (e - q == n) {
                Row block{Row::Pairs, {}, false, false, 0, 0, 0};
                for (std::size_t k = p; k < e; ++k) block.items.push_back(members[k]);
                special.emplace(p, std::move(block));
                q = e;
            }
        }
        taken = q;
        p = q - 1;
    }
    return special;
}

// The rows of a group: a label with its field, unit list and notes; a check box or option
// buttons with what follows them; buttons side by side; pictures, texts and inner groups alone.
// Builds rows one control at a time; each kind of control decides whether it joins the open row.
class RowSplitter {
public:
    std::vector<Row> rows;

    void Close() {
        if (m_open) rows.push_back(std::move(m_current));
        m_current = Row{};
        m_open = false;
    }

    void AddBlock(std::size_t index) {
        Start(Row::Block, index);
        Close();
    }

    void AddText(std::size_t index, const ControlTemplate& f, const std::string& shown, const ControlTemplate* next) {
        // A note after a field ("(Speed)", "bits / pole pitch") stays beside it.
        const bool note = IsFieldNote(shown);
        const bool trailing = shown.size() <= kShortNote && (!next || (next->kind != K::StaticText && !IsValue(*next) &&
                                                                       !IsBareOption(*next) && !IsBlock(*next)));
        if (m_open && m_current.hasValue && (note || trailing)) {
            m_current.items.push_back(index);
        } else if (m_open && m_current.lead == Row::Label && m_current.emptyLabels && f.label.empty()) {
            m_current.items.push_back(index);
        } else {
            Start(Row::Label, index);
            m_current.emptyLabels = f.label.empty();
        }
    }

    void AddValue(std::size_t index) {
        if (m_open && m_current.lead != Row::Buttons) {
            m_current.items.push_back(index);
        } else {
            Start(Row::None, index);
        }
        m_current.hasValue = true;
    }

    void AddCheck(std::size_t index) { Start(Row::Check, index); }

    void AddOption(std::size_t index, int length) {
        const bool besideLabel = m_open && m_current.lead == Row::Label && !m_current.hasValue && !m_current.emptyLabels;
        const bool besideOptions =
            m_open && m_current.lead == Row::Option && m_current.textLength + length <= kShortOptionRun;
        if (besideLabel || besideOptions) {
            m_current.items.push_back(index);
            if (m_current.lead == Row::Option) m_current.textLength += length;
        } else {
            Start(Row::Option, index);
            m_current.textLength = length;
        }
    }

    void AddButton(std::size_t index, int length) {
        if (m_open && m_current.lead == Row::Buttons && m_current.textLength + length <= kShortButtonRun) {
            m_current.items.push_back(index);
            m_current.textLength += length;
        } else {
            Start(Row::Buttons, index);
            m_current.textLength = length;
        }
    }

private:
    void Start(Row::Lead lead, std::size_t index) {
        Close();
        m_current.lead = lead;
        m_current.items.push_back(index);
        m_open = true;
    }

    Row m_current;
    bool m_open = false;
};

std::vector<Row> SplitIntoRows(const Controls& controls, const Members& members) {
    auto form = [&](std::size_t position) -> const ControlTemplate& { return *controls[members[position]].form; };
    const std::size_t count = members.size();
    const std::map<std::size_t, Row> special = FindOptionBlocks(controls, members);

    RowSplitter splitter;
    for (std::size_t p = 0; p < count; ++p) {
        if (const auto block = special.find(p); block != special.end()) {
            splitter.Close();
            splitter.rows.push_back(block->second);
            // The block's members follow it in the form.
            const std::size_t last = block->second.items.back();
            while (p + 1 < count && members[p] != last) ++p;
            continue;
        }
        const std::size_t index = members[p];
        const ControlTemplate& f = form(p);
        const std::string shown = DisplayLabel(f.label);
        const int length = static_cast<int>(shown.size());
        if (IsBlock(f)) {
            splitter.AddBlock(index);
        } else if (f.kind == K::StaticText) {
            splitter.AddText(index, f, shown, p + 1 < count ? &form(p + 1) : nullptr);
        } else if (IsValue(f)) {
            splitter.AddValue(index);
        } else if (f.kind == K::CheckBox || IsBareOption(f)) {
            splitter.AddCheck(index);
        } else if (f.kind == K::OptionButton) {
            splitter.AddOption(index, length);
        } else if (IsButton(f)) {
            splitter.AddButton(index, length);
        }
    }
    splitter.Close();
    return std::move(splitter.rows);
}

}  // namespace

namespace {

// Sections in form order, a new column whenever one would grow taller than an even share.
std::vector<std::vector<QWidget*>> PackColumns(const std::vector<QWidget*>& sections, const std::vector<QSize>& sizes,
                                               int columnsWanted) {
    int total = 0;
    int tallest = 0;
    for (const QSize& size : sizes) {
        total += size.height();
        tallest = std::max(tallest, size.height());
    }
    int limit = std::max(tallest, total / std::max(1, columnsWanted));
    std::vector<std::vector<QWidget*>> columns;
    for (;;) {
        columns.assign(1, {});
        int height = 0;
        for (std::size_t k = 0; k < sections.size(); ++k) {
            if (height > 0 && height + sizes[k].height() > limit) {
                columns.emplace_back();
                height = 0;
            }
            columns.back().push_back(sections[k]);
            height += sizes[k].height();
        }
        if (static_cast<int>(columns.size()) <= columnsWanted) return columns;
        limit += limit / 20 + 1;
    }
}

// About the room the columns take: their widest sections side by side, the tallest column.
QSize ColumnsSize(const std::vector<std::vector<QWidget*>>& columns, const std::vector<QWidget*>& sections,
                  const std::vector<QSize>& sizes) {
    QSize room(0, 0);
    for (const auto& column : columns) {
        int width = 0;
        int height = 0;
        for (QWidget* section : column) {
            const auto at = static_cast<std::size_t>(std::find(sections.begin(), sections.end(), section) - sections.begin());
            width = std::max(width, sizes[at].width());
            height += sizes[at].height() + kSectionSpacing;
        }
        room.rwidth() += width + kSectionSpacing;
        room.setHeight(std::max(room.height(), height));
    }
    return room;
}

// The part of the screen a window may take; empty where there is no physical screen (offscreen),
// which then takes any size.
QRect AvailableArea() {
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return {};
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

void QtDialogWindow::LayOutRows(QGridLayout* grid, const std::vector<std::size_t>& members) {
    const auto& controls = m_dialog.Controls();
    int gridRow = grid->rowCount();
    for (const Row& row : SplitIntoRows(controls, members)) {
        auto widget = [&](std::size_t k) { return m_entries[row.items[k]].widget; };
        if (row.lead == Row::Block) {
            const ControlTemplate& f = *controls[row.items.front()].form;
            const Qt::Alignment align = f.kind == K::Picture ? Qt::AlignHCenter : Qt::Alignment();
            grid->addWidget(widget(0), gridRow++, 0, 1, 2, align);
            continue;
        }
        if (row.lead == Row::Grid) {
            auto* cells = new QGridLayout;
            cells->setHorizontalSpacing(12);
            const std::size_t rowsCount = static_cast<std::size_t>(row.rows);
            const auto columns = static_cast<std::size_t>(row.columns);
            for (std::size_t c = 0; c < columns; ++c) {
                cells->addWidget(widget(c), 0, static_cast<int>(c + 1), Qt::AlignHCenter);
            }
            for (std::size_t r = 0; r < rowsCount; ++r) {
                cells->addWidget(widget(columns + r), static_cast<int>(r + 1), 0);
            }
            // Each column's options in form order, top to bottom, unless the form says the row.
            const std::size_t first = columns + rowsCount;
            for (std::size_t k = first; k < row.items.size(); ++k) {
                const std::size_t option = k - first;
                const int hinted = GridRowHint(*controls[row.items[k]].form);
                const std::size_t at =
                    hinted >= 0 && static_cast<std::size_t>(hinted) < rowsCount ? static_cast<std::size_t>(hinted)
                                                                               : option % rowsCount;
                cells->addWidget(widget(k), static_cast<int>(at + 1), static_cast<int>(option / rowsCount + 1),
                                 Qt::AlignHCenter);
            }
            cells->setColumnStretch(static_cast<int>(columns + 1), 1);
            grid->addLayout(cells, gridRow++, 0, 1, 2);
            continue;
        }
        if (row.lead == Row::Pairs) {
            const std::size_t n = row.items.size() / 2;
            for (std::size_t k = 0; k < n; ++k) {
                auto* line = new QHBoxLayout;
                line->addWidget(widget(k));
                line->addWidget(widget(n + k));
                line->addStretch(1);
                // The label beside an option names it, for assistive tools too.
                static_cast<QLabel*>(widget(n + k))->setBuddy(widget(k));
                grid->addLayout(line, gridRow++, 0, 1, 2);
            }
            continue;
        }
        auto* line = new QHBoxLayout;
        std::size_t from = 0;
        const bool labelled = row.lead == Row::Label && row.hasValue && row.items.size() > 1;
        if (labelled) {
            grid->addWidget(widget(0), gridRow, 0);
            from = 1;
        }
        const bool alone = row.items.size() == 1 && row.lead == Row::None;
        for (std::size_t k = from; k < row.items.size(); ++k) {
            QWidget* w = widget(k);
            const ControlTemplate& f = *controls[row.items[k]].form;
            if (f.kind == K::Edit && !alone) w->setFixedWidth(kNumberFieldWidth);
            if (row.emptyLabels && k > 0) line->addStretch(1);
            line->addWidget(w);
        }
        if (!alone && !row.emptyLabels) line->addStretch(1);
        if (labelled) {
            grid->addLayout(line, gridRow++, 1);
        } else {
            grid->addLayout(line, gridRow++, 0, 1, 2);
        }
    }
    grid->setColumnStretch(1, 1);
}

int QtDialogWindow::OwnGroup(const ControlTemplate& f) const {
    return m_groups.contains(f.group) ? f.group : 0;
}

void QtDialogWindow::LayOutGroupBoxes() {
    const auto& controls = m_dialog.Controls();
    // Each group box holds its members' rows.
    std::map<int, std::vector<std::size_t>> members;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const int group = OwnGroup(*controls[i].form);
        if (group != 0) members[group].push_back(i);
    }
    for (const auto& [group, indices] : members) {
        auto* grid = new QGridLayout(m_groups.at(group));
        LayOutRows(grid, indices);
    }
    for (const auto& [group, box] : m_groups) {
        if (!members.contains(group)) new QGridLayout(box);
    }
}

std::vector<QWidget*> QtDialogWindow::MakeSections(std::vector<std::size_t>& buttons) {
    // Group boxes and runs of loose controls make sections; buttons are set aside.
    const auto& controls = m_dialog.Controls();
    std::vector<QWidget*> sections;
    std::vector<std::size_t> loose;
    auto endLoose = [&] {
        if (loose.empty()) return;
        auto* section = new QWidget(this);
        auto* grid = new QGridLayout(section);
        grid->setContentsMargins(0, 0, 0, 0);
        LayOutRows(grid, loose);
        sections.push_back(section);
        loose.clear();
    };
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlTemplate& f = *controls[i].form;
        if (OwnGroup(f) != 0) continue;
        if (f.kind == K::GroupBox || f.kind == K::TabBar) {
            endLoose();
            sections.push_back(m_entries[i].widget);
        } else if (IsButton(f)) {
            buttons.push_back(i);
        } else {
            loose.push_back(i);
        }
    }
    endLoose();
    return sections;
}

namespace {

struct ColumnPlan {
    std::vector<std::vector<QWidget*>> columns;
    QSize content;
};

// Sections fill columns in form order; as many columns as make them about kColumnHeight tall,
// fewer when the screen is narrower.
ColumnPlan PlanColumns(const std::vector<QWidget*>& sections, const QRect& screen) {
    std::vector<QSize> sizes;
    int total = 0;
    for (QWidget* section : sections) {
        sizes.push_back(section->sizeHint());
        total += sizes.back().height();
    }
    int columnsWanted = std::clamp((total + kColumnHeight - 1) / kColumnHeight, 1, kMaxColumns);
    ColumnPlan plan;
    for (;;) {
        plan.columns = PackColumns(sections, sizes, columnsWanted);
        plan.content = ColumnsSize(plan.columns, sections, sizes);
        if (screen.isEmpty() || columnsWanted == 1 || plan.content.width() <= screen.width()) break;
        --columnsWanted;
    }
    return plan;
}

}  // namespace

void QtDialogWindow::LayOut() {
    LayOutGroupBoxes();
    std::vector<std::size_t> buttons;
    std::vector<QWidget*> sections = MakeSections(buttons);
    // A tab bar heads the whole dialog: its pages show and hide sections in every column, and a
    // column whose page is hidden then takes no room.
    std::vector<QWidget*> tabBars;
    std::erase_if(sections, [&tabBars](QWidget* section) {
        if (!qobject_cast<QTabBar*>(section)) return false;
        tabBars.push_back(section);
        return true;
    });
    const QRect screen = AvailableArea();
    const ColumnPlan plan = PlanColumns(sections, screen);

    auto* main = new QVBoxLayout(this);
    for (QWidget* tabBar : tabBars) main->addWidget(tabBar);
    auto* side = new QHBoxLayout;
    for (const auto& column : plan.columns) {
        auto* stack = new QVBoxLayout;
        for (QWidget* section : column) stack->addWidget(section);
        stack->addStretch(1);
        side->addLayout(stack);
    }
    // A scrolled area when even the fewest columns do not fit the screen.
    const int room = kButtonRowHeight + 2 * style()->pixelMetric(QStyle::PM_LayoutTopMargin);
    if (!screen.isEmpty() && (plan.content.width() > screen.width() || plan.content.height() + room > screen.height())) {
        auto* inner = new QWidget;
        inner->setLayout(side);
        auto* area = new QScrollArea(this);
        area->setFrameShape(QFrame::NoFrame);
        area->setWidgetResizable(true);
        area->setWidget(inner);
        main->addWidget(area);
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        const QSize inside = inner->sizeHint();
        resize(std::min(inside.width() + bar + room, screen.width()), std::min(inside.height() + bar + room, screen.height()));
    } else {
        main->addLayout(side);
    }

    // The dialog's own buttons at the left of the bottom row, the standard ones at its right.
    const auto& controls = m_dialog.Controls();
    auto* bar = new QHBoxLayout;
    for (std::size_t i : buttons) {
        if (!IsStandardButton(controls[i].form->id)) bar->addWidget(m_entries[i].widget);
    }
    bar->addStretch(1);
    for (std::size_t i : buttons) {
        if (IsStandardButton(controls[i].form->id)) bar->addWidget(m_entries[i].widget);
    }
    main->addLayout(bar);
}

void QtDialogWindow::SetTabOrder() {
    QWidget* previous = nullptr;
    for (const Entry& entry : m_entries) {
        QWidget* w = entry.widget;
        if (!w || !(w->focusPolicy() & Qt::TabFocus)) continue;
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

// ---------------------------------------------------------------------------------------------
// Control states

void QtDialogWindow::ApplyStates() {
    m_dirty = false;
    m_applying = true;
    for (std::size_t i = 0; i < m_entries.size(); ++i) ApplyState(i);
    // A group box the dialog hides goes only when nothing inside it still shows.
    const auto& controls = m_dialog.Controls();
    for (auto& [group, widget] : m_groups) {
        const ControlState& box = controls[m_index.at(group)];
        bool anyShown = box.visible;
        if (!anyShown) {
            for (const ControlState& c : controls) {
                if (c.form->group == group && c.visible) {
                    anyShown = true;
                    break;
                }
            }
        }
        auto* groupBox = static_cast<QGroupBox*>(widget);
        groupBox->setFlat(!box.visible);
        if (groupBox->isHidden() == anyShown) groupBox->setVisible(anyShown);
    }
    m_applying = false;
}

namespace {

void ShowEditText(const ControlState& c, QWidget* w, bool textChanged) {
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        // What the user is typing stays until it is committed.
        if (edit->isModified() && edit->hasFocus()) return;
        const QString text = FromUtf8(c.text);
        if (edit->text() != text) {
            edit->setText(text);
            edit->setCursorPosition(0);
        }
    } else if (textChanged) {
        static_cast<QPlainTextEdit*>(w)->setPlainText(FromUtf8(c.text));
    }
}

QStringList ItemTexts(const ControlState& c) {
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(c.items.size()));
    for (const auto& item : c.items) texts.push_back(FromUtf8(item.first));
    return texts;
}

void ShowPosition(const ControlState& c, QWidget* w) {
    if (auto* slider = qobject_cast<QSlider*>(w)) {
        slider->setRange(c.rangeMin, c.rangeMax);
        slider->setValue(c.position);
    } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        spin->setRange(c.rangeMin, c.rangeMax);
        spin->setValue(c.position);
    }
}

}  // namespace

void QtDialogWindow::ApplyState(std::size_t index) {
    const ControlState& c = m_dialog.Controls()[index];
    Entry& entry = m_entries[index];
    QWidget* w = entry.widget;
    if (!w) return;
    Shown& shown = entry.shown;
    const Changes changes{!shown.known, !shown.known || shown.text != c.text, !shown.known || shown.picture != c.picture};
    ApplyContent(c, w, shown, changes);
    ApplyLook(c, w, shown, changes.first);
    Remember(c, shown, changes);
}

// What the control holds: its text, items, check, position or picture.
void QtDialogWindow::ApplyContent(const ControlState& c, QWidget* w, Shown& shown, const Changes& changes) {
    const bool first = changes.first;
    const bool textChanged = changes.text;
    const bool pictureChanged = changes.picture;
    switch (c.form->kind) {
        case K::GroupBox:
            if (textChanged || shown.visible != c.visible) {
                static_cast<QGroupBox*>(w)->setTitle(c.visible ? MnemonicText(c) : QString());
            }
            break;
        case K::StaticText:
            if (textChanged) {
                auto* label = static_cast<QLabel*>(w);
                label->setText(label->buddy() ? MnemonicText(c) : FromUtf8(c.text));
            }
            break;
        case K::Edit: ShowEditText(c, w, textChanged); break;
        case K::UnitCombo:
        case K::DropDownList: {
            auto* list = static_cast<QComboBox*>(w);
            if (first || shown.items != c.items) {
                list->clear();
                list->addItems(ItemTexts(c));
                shown.items = c.items;
                shown.selection = -2;
            }
            if (shown.selection != c.selection) list->setCurrentIndex(c.selection);
            break;
        }
        case K::TabBar: {
            auto* tabs = static_cast<QTabBar*>(w);
            if (first || shown.items != c.items) {
                while (tabs->count() > 0) tabs->removeTab(0);
                for (const QString& text : ItemTexts(c)) tabs->addTab(text);
                shown.items = c.items;
                shown.selection = -2;
            }
            if (shown.selection != c.selection && c.selection >= 0) tabs->setCurrentIndex(c.selection);
            break;
        }
        case K::CheckBox:
        case K::OptionButton: {
            auto* button = static_cast<QAbstractButton*>(w);
            if (textChanged) button->setText(MnemonicText(c));
            if (button->isChecked() != (c.check != 0)) button->setChecked(c.check != 0);
            break;
        }
        case K::Button:
        case K::PictureButton: {
            auto* button = static_cast<QPushButton*>(w);
            if (textChanged) button->setText(MnemonicText(c));
            if (pictureChanged) {
                const QIcon& icon = m_ui.PictureIcon(c.picture);
                button->setIcon(icon);
                if (QSvgRenderer* picture = m_ui.Picture(c.picture)) button->setIconSize(picture->defaultSize());
            }
            break;
        }
        case K::Slider:
        case K::Spin:
            if (first || shown.rangeMin != c.rangeMin || shown.rangeMax != c.rangeMax || shown.position != c.position) {
                ShowPosition(c, w);
            }
            break;
        case K::Picture:
            if (pictureChanged) static_cast<PictureWidget*>(w)->SetRenderer(m_ui.Picture(c.picture));
            break;
        case K::Graph:
        case K::BarGraph:
        case K::StripChart:
            break;
    }
}

// How the control looks: shown, enabled, highlighted.
void QtDialogWindow::ApplyLook(const ControlState& c, QWidget* w, const Shown& shown, bool first) {
    if (c.form->kind == K::GroupBox) {
        // Disabling a group box greys its title only: what it holds has states of its own.
        if (first || shown.enabled != c.enabled || shown.highlighted != c.highlighted) {
            QPalette palette;
            if (!c.enabled) {
                const QColor grey = palette.color(QPalette::Disabled, QPalette::WindowText);
                palette.setColor(QPalette::Active, QPalette::WindowText, grey);
                palette.setColor(QPalette::Inactive, QPalette::WindowText, grey);
            } else if (c.highlighted) {
                palette.setColor(QPalette::WindowText, Qt::red);
            }
            w->setPalette(palette);
        }
    } else {
        if (first || shown.visible != c.visible) w->setVisible(c.visible);
        if (first || shown.enabled != c.enabled) w->setEnabled(c.enabled);
        if (first || shown.highlighted != c.highlighted || shown.background != c.background) {
            QPalette palette;
            if (c.background) palette.setColor(QPalette::Window, QColor::fromRgb(*c.background));
            w->setAutoFillBackground(c.background.has_value());
            // A field that only shows a value looks like the dialog, not like a place to type.
            if (c.form->kind == K::Edit && c.form->readOnly) {
                palette.setColor(QPalette::Base, palette.color(QPalette::Window));
            }
            if (c.highlighted) {
                for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
                    palette.setColor(QPalette::Active, role, Qt::red);
                    palette.setColor(QPalette::Inactive, role, Qt::red);
                }
            }
            w->setPalette(palette);
        }
    }
}

void QtDialogWindow::Remember(const ControlState& c, Shown& shown, const Changes& changes) {
    shown.known = true;
    if (changes.text) shown.text = c.text;
    shown.check = c.check;
    shown.selection = c.selection;
    shown.position = c.position;
    shown.rangeMin = c.rangeMin;
    shown.rangeMax = c.rangeMax;
    shown.visible = c.visible;
    shown.enabled = c.enabled;
    shown.highlighted = c.highlighted;
    shown.background = c.background;
    if (changes.picture) shown.picture = c.picture;
}

// ---------------------------------------------------------------------------------------------
// User actions

template <class Action>
void QtDialogWindow::Act(Action&& action) {
    if (!m_dialog.IsOpen() || m_applying) return;
    m_ui.BeginAction();
    try {
        action();
    } catch (...) {
        m_ui.Fail(std::current_exception());
    }
    m_dirty = true;
    m_ui.EndAction();
}

void QtDialogWindow::CommitField(std::size_t index, QLineEdit* edit) {
    const int id = m_dialog.Controls()[index].form->id;
    const std::string text = edit->text().toStdString();
    // Committed once: the value the setup now holds replaces the typed text.
    edit->setModified(false);
    Act([&] { m_dialog.UserEnterText(id, text); });
}

bool QtDialogWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // The key reaches the focus widget first and then its parents: the dialog sees it once.
        QWidget* receiver = QApplication::focusWidget();
        if (!receiver || receiver->window() != this) receiver = this;
        if (watched == receiver && key->key() >= 0x20 && key->key() <= 0x7E) {
            bool used = false;
            const Qt::KeyboardModifiers mods = key->modifiers();
            Act([&] {
                used = m_dialog.PreTranslateKey(key->key(), mods.testFlag(Qt::ControlModifier),
                                                mods.testFlag(Qt::AltModifier), mods.testFlag(Qt::ShiftModifier));
            });
            if (used) return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            auto* edit = qobject_cast<QLineEdit*>(watched);
            const auto it = edit ? m_editIndex.find(edit) : m_editIndex.end();
            // Enter commits a field that was typed into; otherwise it presses the default button.
            if (it != m_editIndex.end() && edit->isModified()) {
                CommitField(it->second, edit);
                return true;
            }
        }
    } else if (event->type() == QEvent::FocusOut) {
        auto* edit = qobject_cast<QLineEdit*>(watched);
        const auto it = edit ? m_editIndex.find(edit) : m_editIndex.end();
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (it != m_editIndex.end() && edit->isModified() && reason != Qt::PopupFocusReason) {
            CommitField(it->second, edit);
        }
    }
    return QDialog::eventFilter(watched, event);
}

void QtDialogWindow::reject() {
    // Closing the window is the dialog's Cancel; it decides whether it closes.
    Act([&] {
        const ControlState* cancel = m_dialog.GetControl(IDCANCEL);
        if (cancel && cancel->visible && cancel->enabled) {
            m_dialog.UserClick(IDCANCEL);
        } else if (!cancel) {
            m_dialog.OnCommand(IDCANCEL);
        }
    });
}

void QtDialogWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous() || m_shownOnce) return;
    m_shownOnce = true;
    // Inside the modal loop: the dialog may open another one or end at once.
    QMetaObject::invokeMethod(
        this, [this] { Act([&] { m_dialog.OnShowWindow(); }); }, Qt::QueuedConnection);
}

void QtDialogWindow::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (m_painted) return;
    m_painted = true;
    QMetaObject::invokeMethod(this, [this] { m_ui.NotifyShown(*this); }, Qt::QueuedConnection);
}
