#include "QtUi.h"

#include "QtDialogWindow.h"
#include "QtGraph.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>

namespace {

// Pictures are drawn twice as fine as their size, for screens that scale.
constexpr qreal kIconScale = 2.0;

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtUi::QtUi() : m_start(std::chrono::steady_clock::now()) {
    // Graph pictures ("Picture" in the tuning dialogs) are drawn the way the graphs are shown.
    InstallQtGraphPictures();
}

QtUi::~QtUi() {
    for (auto& [key, timer] : m_timers) delete timer;
}

QtDialogWindow* QtUi::FindWindow(const CDialog& dialog) const {
    for (QtDialogWindow* window : m_stack) {
        if (&window->Dialog() == &dialog) return window;
    }
    return nullptr;
}

QDialog* QtUi::WindowOf(const CDialog& dialog) const { return FindWindow(dialog); }

QWidget* QtUi::WidgetOf(const CDialog& dialog, int controlId) const {
    const QtDialogWindow* window = FindWindow(dialog);
    return window ? window->WidgetOf(controlId) : nullptr;
}

QSvgRenderer* QtUi::Picture(const std::string& name) {
    if (name.empty()) return nullptr;
    auto it = m_pictures.find(name);
    if (it == m_pictures.end()) {
        std::string file = name;
        std::transform(file.begin(), file.end(), file.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        auto renderer = std::make_unique<QSvgRenderer>(QStringLiteral(":/pictures/") + QString::fromStdString(file) +
                                                       QStringLiteral(".svg"));
        if (!renderer->isValid()) renderer.reset();
        it = m_pictures.emplace(name, std::move(renderer)).first;
    }
    return it->second.get();
}

const QIcon& QtUi::PictureIcon(const std::string& name) {
    auto it = m_icons.find(name);
    if (it == m_icons.end()) {
        auto icon = std::make_unique<QIcon>();
        if (QSvgRenderer* renderer = Picture(name)) {
            QPixmap pixmap(renderer->defaultSize() * kIconScale);
            pixmap.setDevicePixelRatio(kIconScale);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer->render(&painter, QRectF(QPointF(0, 0), QSizeF(renderer->defaultSize())));
            painter.end();
            icon->addPixmap(pixmap);
        }
        it = m_icons.emplace(name, std::move(icon)).first;
    }
    return *it->second;
}

// ---------------------------------------------------------------------------------------------
// Modal loop

void QtUi::RunModal(CDialog& dialog) {
    Flush();
    QWidget* parent = m_stack.empty() ? nullptr : m_stack.back();
    QtDialogWindow window(*this, dialog, parent);
    m_stack.push_back(&window);
    const int outerDepth = std::exchange(m_depth, 0);
    if (dialog.IsOpen() && !m_failure) window.exec();
    m_depth = outerDepth;
    m_stack.pop_back();
    // A loop that ended some other way (the application quitting) is a Cancel.
    if (dialog.IsOpen()) {
        dialog.OnCancel();
        if (dialog.IsOpen()) dialog.EndDialog(IDCANCEL);
    }
    // A handler that threw ended every dialog; the failure goes on to whoever opened this one.
    if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
}

void QtUi::Fail(std::exception_ptr failure) {
    if (!m_failure) m_failure = std::move(failure);
    for (QtDialogWindow* window : m_stack) {
        if (window->Dialog().IsOpen()) window->Dialog().EndDialog(IDCANCEL);
    }
}

void QtUi::EndAction() {
    if (--m_depth > 0) return;
    Flush();
    CloseEnded();
}

void QtUi::Flush() {
    for (QtDialogWindow* window : m_stack) {
        if (window->IsDirty()) window->ApplyStates();
    }
}

void QtUi::CloseEnded() {
    for (QtDialogWindow* window : m_stack) {
        if (!window->Dialog().IsOpen() && window->isVisible()) window->done(0);
    }
}

void QtUi::ControlsChanged(CDialog& dialog) {
    QtDialogWindow* window = FindWindow(dialog);
    if (!window) return;
    window->MarkDirty();
    // Inside an action the states are shown once, at its end.
    if (m_depth == 0) window->ApplyStates();
}

void QtUi::NotifyShown(QtDialogWindow& window) {
    if (window.ShownNotified() || !window.Dialog().IsOpen()) return;
    window.SetShownNotified();
    if (!m_shown) return;
    // Not an action of its own: what the handler does stands for the user's separate actions.
    try {
        m_shown(window.Dialog(), window);
    } catch (...) {
        Fail(std::current_exception());
    }
    if (m_depth == 0) {
        Flush();
        CloseEnded();
    }
}

// ---------------------------------------------------------------------------------------------
// Message boxes, timers, pumping, help, clock

int QtUi::ShowMessageBox(CDialog* owner, std::string_view text, std::string_view caption, MessageBoxKind kind) {
    Flush();
    QWidget* parent = owner ? WindowOf(*owner) : nullptr;
    if (!parent) parent = QApplication::activeModalWidget();
    if (!parent && !m_stack.empty()) parent = m_stack.back();

    QMessageBox box(parent);
    box.setWindowTitle(FromView(!caption.empty() ? caption : owner ? owner->GetCaption() : std::string_view()));
    box.setTextFormat(Qt::PlainText);
    box.setText(FromView(text));
    switch (kind) {
        case MessageBoxKind::Information:
            box.setIcon(QMessageBox::Information);
            box.setStandardButtons(QMessageBox::Ok);
            box.setDefaultButton(QMessageBox::Ok);
            box.setEscapeButton(QMessageBox::Ok);
            break;
        case MessageBoxKind::Warning:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Ok);
            box.setDefaultButton(QMessageBox::Ok);
            box.setEscapeButton(QMessageBox::Ok);
            break;
        case MessageBoxKind::Question:
            box.setIcon(QMessageBox::Question);
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            break;
        case MessageBoxKind::QuestionWithCancel:
            box.setIcon(QMessageBox::Question);
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::Cancel);
            break;
    }
    const int outerDepth = std::exchange(m_depth, 0);
    box.exec();
    m_depth = outerDepth;

    switch (box.standardButton(box.clickedButton())) {
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Ok:
            return IDOK;
        default:
            // Closed some other way: what Escape would have answered.
            if (kind == MessageBoxKind::Question) return IDNO;
            if (kind == MessageBoxKind::QuestionWithCancel) return IDCANCEL;
            return IDOK;
    }
}

std::optional<std::string> QtUi::PromptFileName(CDialog* owner, bool open, std::string_view preset,
                                                std::string_view filter) {
    Flush();
    QWidget* parent = owner ? WindowOf(*owner) : nullptr;
    if (!parent) parent = QApplication::activeModalWidget();
    if (!parent && !m_stack.empty()) parent = m_stack.back();
    const int outerDepth = std::exchange(m_depth, 0);
    const QString name = open ? QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), FromView(preset), FromView(filter))
                              : QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), FromView(preset), FromView(filter));
    m_depth = outerDepth;
    if (name.isEmpty()) return std::nullopt;
    return name.toStdString();
}

void QtUi::StartTimer(CDialog& dialog, int timerId, int elapse_ms) {
    QTimer*& timer = m_timers[{&dialog, timerId}];
    if (!timer) {
        timer = new QTimer;
        CDialog* target = &dialog;
        QObject::connect(timer, &QTimer::timeout, timer, [this, target, timerId] { FireTimer(target, timerId); });
    }
    timer->start(std::max(1, elapse_ms));
}

void QtUi::StopTimer(CDialog& dialog, int timerId) {
    const auto it = m_timers.find({&dialog, timerId});
    if (it == m_timers.end()) return;
    it->second->stop();
    // The timer may be the one whose tick is running now.
    it->second->deleteLater();
    m_timers.erase(it);
}

void QtUi::FireTimer(CDialog* dialog, int timerId) {
    // A dialog that has ended hears no more ticks, though its loop has yet to return.
    if (!dialog->IsOpen()) return;
    BeginAction();
    try {
        dialog->OnTimer(timerId);
    } catch (...) {
        Fail(std::current_exception());
    }
    // Timer handlers change texts without telling (a status line): show the dialog anew.
    if (QtDialogWindow* window = FindWindow(*dialog)) window->MarkDirty();
    EndAction();
}

void QtUi::Pump() {
    Flush();
    // What happens while pumping (a click on Stop, a timer) is an action of its own.
    const int outerDepth = std::exchange(m_depth, 0);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    m_depth = outerDepth;
}

void QtUi::OpenHelp(const std::string& file, int topic) {
    const QFileInfo info(QString::fromStdString(file));
    CDialog* owner = m_stack.empty() ? nullptr : &m_stack.back()->Dialog();
    if (!info.exists()) {
        ShowMessageBox(owner, "The help file " + info.absoluteFilePath().toStdString() + " was not found.", "Help",
                       MessageBoxKind::Information);
        return;
    }
    QUrl url = QUrl::fromLocalFile(info.absoluteFilePath());
    // An HTML help page takes its topic as an anchor; other viewers open the file.
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("htm") || suffix == QLatin1String("html")) url.setFragment(QString::number(topic));
    if (!QDesktopServices::openUrl(url)) {
        ShowMessageBox(owner, "No viewer could open the help file " + info.absoluteFilePath().toStdString() + ".",
                       "Help", MessageBoxKind::Information);
    }
}

double QtUi::Now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}
