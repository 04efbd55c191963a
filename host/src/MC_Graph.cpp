#include "MC_Graph.h"

#include "MC_SetupFile.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

namespace {

// Registry of what each dialog control shows. One UI thread: no locking.
std::map<std::pair<const CDialog*, int>, CGraphWindow*>& Graphs() {
    static std::map<std::pair<const CDialog*, int>, CGraphWindow*> graphs;
    return graphs;
}
std::map<std::pair<const CDialog*, int>, CBarGraph*>& Bars() {
    static std::map<std::pair<const CDialog*, int>, CBarGraph*> bars;
    return bars;
}

template <class T>
void Attach(std::map<std::pair<const CDialog*, int>, T*>& registry, T* object, CDialog*& dialog, int& id,
            CDialog* newDialog, int newId) {
    if (dialog) {
        auto it = registry.find({dialog, id});
        if (it != registry.end() && it->second == object) registry.erase(it);
    }
    dialog = newDialog;
    id = newId;
    if (dialog) registry[{dialog, id}] = object;
}

template <class T>
void Detach(std::map<std::pair<const CDialog*, int>, T*>& registry, T* object, const CDialog* dialog, int id) {
    if (!dialog) return;
    auto it = registry.find({dialog, id});
    if (it != registry.end() && it->second == object) registry.erase(it);
}

constexpr double kFitMargin = 0.05;  // of the span, above and below the data

// The range of `lo..hi` with a margin; a single value gets a band around it.
GraphRange WithMargin(double lo, double hi) {
    if (!(lo <= hi)) return {};
    if (lo == hi) {
        const double half = lo == 0.0 ? 1.0 : std::abs(lo) * kFitMargin;
        return {lo - half, hi + half};
    }
    const double margin = (hi - lo) * kFitMargin;
    return {lo - margin, hi + margin};
}

bool ValidItem(const CGraphDocument& document, int item) { return item >= 0 && item < document.GetItemsCount(); }

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

void AppendNumber(std::string& out, double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general);
    out.append(buffer, result.ptr);
}

CGraphWindow::PictureWriter& Writer() {
    static CGraphWindow::PictureWriter writer;
    return writer;
}

}  // namespace

GraphColor RGB16(int index) {
    static constexpr std::array<GraphColor, 16> kPalette = {
        GraphRGB(0, 0, 0),       GraphRGB(128, 0, 0),   GraphRGB(0, 128, 0),   GraphRGB(128, 128, 0),
        GraphRGB(0, 0, 128),     GraphRGB(128, 0, 128), GraphRGB(0, 128, 128), GraphRGB(192, 192, 192),
        GraphRGB(128, 128, 128), GraphRGB(255, 0, 0),   GraphRGB(0, 255, 0),   GraphRGB(255, 255, 0),
        GraphRGB(0, 0, 255),     GraphRGB(255, 0, 255), GraphRGB(0, 255, 255), GraphRGB(255, 255, 255),
    };
    return kPalette[static_cast<std::size_t>(((index % 16) + 16) % 16)];
}

// ---------------------------------------------------------------------------------------------
// CGraphDocument

CGraphDocument::CGraphDocument() { AddFilter(); }
CGraphDocument::~CGraphDocument() = default;

void CGraphDocument::SetItems(std::vector<CGraphItem> items) {
    m_items = std::move(items);
    Clear();
}

void CGraphDocument::SetCapacity(std::size_t points) {
    m_capacity = points;
    Clear();
}

void CGraphDocument::Clear() {
    m_values.clear();
    m_appended = 0;
    ++m_generation;
}

std::size_t CGraphDocument::GetPointsCount() const {
    return m_items.empty() ? 0 : m_values.size() / m_items.size();
}

bool CGraphDocument::AddPoint(std::span<const double> row, std::size_t* index) {
    if (m_items.empty() || row.size() != m_items.size()) return false;
    if (!std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); })) return false;
    std::size_t slot = GetPointsCount();
    if (m_capacity != 0 && slot >= m_capacity) {
        slot = static_cast<std::size_t>(m_appended % m_capacity);
        std::copy(row.begin(), row.end(), m_values.begin() + static_cast<std::ptrdiff_t>(slot * m_items.size()));
    } else {
        m_values.insert(m_values.end(), row.begin(), row.end());
    }
    ++m_appended;
    if (index) *index = slot;
    return true;
}

std::size_t CGraphDocument::RingIndex(std::size_t point) const {
    assert(point < GetPointsCount());
    if (m_capacity == 0 || m_appended <= m_capacity) return point;
    // The oldest held point sits where the next one will be written.
    return static_cast<std::size_t>((m_appended + point) % m_capacity);
}

double CGraphDocument::GetValue(std::size_t point, int item) const {
    assert(item >= 0 && item < GetItemsCount());
    return m_values[RingIndex(point) * m_items.size() + static_cast<std::size_t>(item)];
}

CGraphFilter* CGraphDocument::GetAt(int index) {
    return index >= 0 && index < GetFilterCount() ? m_filters[static_cast<std::size_t>(index)].get() : nullptr;
}
const CGraphFilter* CGraphDocument::GetAt(int index) const {
    return index >= 0 && index < GetFilterCount() ? m_filters[static_cast<std::size_t>(index)].get() : nullptr;
}

CGraphFilter& CGraphDocument::AddFilter() {
    m_filters.push_back(std::make_unique<CGraphFilter>(*this));
    return *m_filters.back();
}

// ---------------------------------------------------------------------------------------------
// CGraphFilter

std::string CGraphFilter::CurveLabel(const CXYCurve& curve) const {
    if (!ValidItem(m_document, curve.m_nYItem)) return "item " + std::to_string(curve.m_nYItem);
    const CGraphItem& item = m_document.GetItems()[static_cast<std::size_t>(curve.m_nYItem)];
    return item.unit.empty() ? item.name : item.name + " [" + item.unit + "]";
}

std::string CGraphFilter::XLabel() const {
    const int x = m_curves.empty() ? 0 : m_curves.front().m_nXItem;
    CXYCurve probe;
    probe.m_nYItem = x;
    return CurveLabel(probe);
}

std::string CGraphFilter::WriteCsv(const std::string& path) const {
    std::vector<int> columns;
    if (m_curves.empty()) {
        for (int i = 0; i < m_document.GetItemsCount(); ++i) columns.push_back(i);
    } else {
        columns.push_back(m_curves.front().m_nXItem);
        for (const auto& curve : m_curves)
            if (std::find(columns.begin(), columns.end(), curve.m_nYItem) == columns.end())
                columns.push_back(curve.m_nYItem);
    }
    std::erase_if(columns, [&](int item) { return !ValidItem(m_document, item); });
    if (columns.empty()) return path + ": the graph has no data to export";

    std::string text;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        CXYCurve probe;
        probe.m_nYItem = columns[c];
        text += (c ? "," : "") + CsvField(CurveLabel(probe));
    }
    text += "\n";
    const std::size_t points = m_document.GetPointsCount();
    for (std::size_t p = 0; p < points; ++p) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c) text += ',';
            AppendNumber(text, m_document.GetValue(p, columns[c]));
        }
        text += '\n';
    }
    return WriteFileAtomically(path, text);
}

int CGraphFilter::ExportToASCII(const std::string& stem) const { return WriteCsv(stem + ".csv").empty() ? 1 : 0; }

// ---------------------------------------------------------------------------------------------
// CGraphWindow

CGraphWindow::CGraphWindow(int areas, int flags)
    : m_areas(std::max(1, areas)), m_flags(flags), m_zoomY(static_cast<std::size_t>(m_areas)) {}

CGraphWindow::~CGraphWindow() { Detach(Graphs(), this, m_dialog, m_id); }

bool CGraphWindow::SubclassDlgItem(int id, CDialog* dialog, CGraphFilter* filter) {
    if (!filter) return false;
    Attach(Graphs(), this, m_dialog, m_id, dialog, id);
    m_filter = filter;
    RefreshGraph();
    return true;
}

void CGraphWindow::ApplySettings() {
    DoZoomOut();
    RefreshGraph();
}

void CGraphWindow::RefreshGraph() {
    m_drawnValid = false;
    Touch();
}

void CGraphWindow::UpdateLastPoint() { Touch(); }
void CGraphWindow::UpdatePoint(std::size_t) { Touch(); }
void CGraphWindow::UpdateWindow() { Touch(); }
void CGraphWindow::Invalidate(bool erase) {
    if (erase) m_drawnValid = false;
    Touch();
}

void CGraphWindow::DoZoomOut() {
    m_zoomX.reset();
    for (auto& y : m_zoomY) y.reset();
    Touch();
}

void CGraphWindow::ZoomX(double min, double max) {
    if (!std::isfinite(min) || !std::isfinite(max) || min == max) return;
    m_zoomX = GraphRange{std::min(min, max), std::max(min, max)};
    Touch();
}

void CGraphWindow::ZoomY(int area, double min, double max) {
    if (area < 1 || area > m_areas || !std::isfinite(min) || !std::isfinite(max) || min == max) return;
    m_zoomY[static_cast<std::size_t>(area - 1)] = GraphRange{std::min(min, max), std::max(min, max)};
    Touch();
}

GraphRange CGraphWindow::XRange() const {
    if (m_zoomX) return *m_zoomX;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    if (m_filter) {
        const CGraphDocument& doc = m_filter->GetDocument();
        for (const auto& curve : m_filter->GetCurves()) {
            if (!ValidItem(doc, curve.m_nXItem)) continue;
            for (std::size_t p = 0; p < doc.GetPointsCount(); ++p) {
                const double x = doc.GetValue(p, curve.m_nXItem);
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
        }
    }
    // Time axes start where the data starts: no margin on X.
    if (!(lo <= hi)) return {};
    return lo == hi ? WithMargin(lo, hi) : GraphRange{lo, hi};
}

GraphRange CGraphWindow::YRange(int area) const {
    area = std::clamp(area, 1, m_areas);
    if (const auto& zoom = m_zoomY[static_cast<std::size_t>(area - 1)]) return *zoom;
    if (m_filter) {
        if (const auto fixed = m_filter->m_areaRanges.find(area); fixed != m_filter->m_areaRanges.end()) return fixed->second;
    }
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    if (m_filter) {
        const CGraphDocument& doc = m_filter->GetDocument();
        const GraphRange x = XRange();
        for (const auto& curve : m_filter->GetCurves()) {
            if (std::clamp(curve.m_nArea, 1, m_areas) != area || !ValidItem(doc, curve.m_nXItem) ||
                !ValidItem(doc, curve.m_nYItem))
                continue;
            for (std::size_t p = 0; p < doc.GetPointsCount(); ++p) {
                const double px = doc.GetValue(p, curve.m_nXItem);
                if (m_zoomX && (px < x.min || px > x.max)) continue;
                const double y = doc.GetValue(p, curve.m_nYItem);
                lo = std::min(lo, y);
                hi = std::max(hi, y);
            }
        }
    }
    return WithMargin(lo, hi);
}

void CGraphWindow::SetCursor(int which, std::optional<double> x) {
    if (which < 0 || which > 1) return;
    if (x && !std::isfinite(*x)) return;
    m_cursors[static_cast<std::size_t>(which)] = x;
    Touch();
}

std::optional<double> CGraphWindow::GetCursor(int which) const {
    if (which < 0 || which > 1) return std::nullopt;
    return m_cursors[static_cast<std::size_t>(which)];
}

std::vector<std::optional<double>> CGraphWindow::ValuesAtCursor(int which) const {
    std::vector<std::optional<double>> values;
    if (!m_filter) return values;
    const auto x = GetCursor(which);
    const CGraphDocument& doc = m_filter->GetDocument();
    for (const auto& curve : m_filter->GetCurves()) {
        std::optional<double> value;
        if (x && ValidItem(doc, curve.m_nXItem) && ValidItem(doc, curve.m_nYItem)) {
            // The first segment holding x, in recording order (X need not be monotonic).
            for (std::size_t p = 0; p < doc.GetPointsCount() && !value; ++p) {
                const double x0 = doc.GetValue(p, curve.m_nXItem);
                const double y0 = doc.GetValue(p, curve.m_nYItem);
                if (x0 == *x) {
                    value = y0;
                } else if (p + 1 < doc.GetPointsCount()) {
                    const double x1 = doc.GetValue(p + 1, curve.m_nXItem);
                    if ((x0 < *x && *x < x1) || (x1 < *x && *x < x0)) {
                        const double y1 = doc.GetValue(p + 1, curve.m_nYItem);
                        value = y0 + (y1 - y0) * (*x - x0) / (x1 - x0);
                    }
                }
            }
        }
        values.push_back(value);
    }
    return values;
}

CGraphWindow::Pending CGraphWindow::TakePending() {
    Pending pending;
    if (!m_filter) return pending;
    const CGraphDocument& doc = m_filter->GetDocument();
    const std::uint64_t appended = doc.GetAppended();
    const std::uint64_t held = doc.GetPointsCount();
    if (!m_drawnValid || m_drawnGeneration != doc.GetGeneration() || appended < m_drawnAppended ||
        appended - m_drawnAppended > held) {
        // More arrived than the ring keeps: the view's points are all stale anyway.
        pending.rebuild = true;
        pending.first = appended - held;
        pending.count = held;
    } else {
        pending.first = m_drawnAppended;
        pending.count = appended - m_drawnAppended;
    }
    m_drawnValid = true;
    m_drawnGeneration = doc.GetGeneration();
    m_drawnAppended = appended;
    return pending;
}

int CGraphWindow::CreateWMF(const std::string& stem) { return WritePicture(stem + ".svg").empty() ? 1 : 0; }

CGraphWindow::PictureWriter CGraphWindow::SetPictureWriter(PictureWriter writer) {
    return std::exchange(Writer(), std::move(writer));
}

std::string CGraphWindow::WritePicture(const std::string& path) const {
    if (!Writer()) return path + ": pictures of graphs need the graphical backend";
    return Writer()(*this, path);
}

// ---------------------------------------------------------------------------------------------
// CBarGraph

namespace {

// One floating conversion, optionally among literal text and "%%": what a bar's value label
// may be formatted with. Anything else could read arguments that are not there.
bool IsSafeValueFormat(const std::string& format) {
    int conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i >= format.size()) return false;
        if (format[i] == '%') continue;
        while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) ++i;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
        }
        if (i >= format.size() || std::string_view("fFeEgGaA").find(format[i]) == std::string_view::npos)
            return false;
        ++conversions;
    }
    return conversions == 1 && format.size() < 64;
}

}  // namespace

CBarGraph::CBarGraph() = default;
CBarGraph::~CBarGraph() { Detach(Bars(), this, m_dialog, m_id); }

bool CBarGraph::SubclassDlgItem(int id, CDialog* dialog) {
    Attach(Bars(), this, m_dialog, m_id, dialog, id);
    ++m_revision;
    return true;
}

void CBarGraph::SetLimits(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return;
    m_lo = std::min(lo, hi);
    m_hi = std::max(lo, hi);
    ++m_revision;
}

void CBarGraph::SetCurrentValue(double value) {
    if (!std::isfinite(value)) return;
    m_value = value;
    ++m_revision;
}

void CBarGraph::SetDrawingReference(double reference) {
    if (!std::isfinite(reference)) return;
    m_reference = reference;
    ++m_revision;
}

void CBarGraph::SetColor(GraphColor color) {
    m_color = color;
    ++m_revision;
}

bool CBarGraph::SetValueFormat(const std::string& format) {
    if (!IsSafeValueFormat(format)) return false;
    m_format = format;
    ++m_revision;
    return true;
}

void CBarGraph::Repaint() { ++m_revision; }

double CBarGraph::Fraction(double x) const {
    if (m_hi == m_lo) return 0.5;
    return std::clamp((x - m_lo) / (m_hi - m_lo), 0.0, 1.0);
}

double CBarGraph::ReferenceFraction() const { return Fraction(m_reference); }
double CBarGraph::ValueFraction() const { return Fraction(m_value); }

std::string CBarGraph::ValueText() const {
    char buffer[128];
    // m_format holds exactly one floating conversion (SetValueFormat checks it).
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    std::snprintf(buffer, sizeof buffer, m_format.c_str(), m_value);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return buffer;
}

CGraphWindow* FindGraphWindow(const CDialog* dialog, int id) {
    auto it = Graphs().find({dialog, id});
    return it == Graphs().end() ? nullptr : it->second;
}

CBarGraph* FindBarGraph(const CDialog* dialog, int id) {
    auto it = Bars().find({dialog, id});
    return it == Bars().end() ? nullptr : it->second;
}
