// Graphs as toolkit-free data: the samples a logger records (a document of items), what to
// show of them (a filter of X/Y curves), and the view a dialog control gives them (a window
// with its areas, zoom and cursors); bar graphs for single values. The Qt backend draws them;
// the headless backend and the CLI use them as they are (CSV export needs no toolkit).
//
// Points are appended, never rewritten, and every view keeps a cursor of what it has drawn:
// a stream of scope frames costs the points it adds, not a redraw of the whole series.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class CDialog;
class CGraphFilter;

// 0x00RRGGBB.
using GraphColor = std::uint32_t;
constexpr GraphColor GraphRGB(int r, int g, int b) {
    return (static_cast<GraphColor>(r & 0xFF) << 16) | (static_cast<GraphColor>(g & 0xFF) << 8) |
           static_cast<GraphColor>(b & 0xFF);
}
// The host's 16-colour palette (black, dark red, dark green, ..., white); the index is taken
// modulo 16.
GraphColor RGB16(int index);

// One recorded quantity. Item 0 of a logger's document is the time.
struct CGraphItem {
    std::string name;
    std::string unit;  // as shown: "s", "A", "mm/s"; empty for counts
};

// The samples: one row per point, one value per item. Rows are appended; with a capacity the
// document keeps the newest `capacity` points in a ring (the scope), else it grows.
class CGraphDocument {
public:
    CGraphDocument();
    ~CGraphDocument();
    CGraphDocument(const CGraphDocument&) = delete;
    CGraphDocument& operator=(const CGraphDocument&) = delete;

    // Both clear the points (a new recording).
    void SetItems(std::vector<CGraphItem> items);
    void SetCapacity(std::size_t points);  // 0: no limit
    void Clear();

    // Appends a row of one value per item; false (nothing stored) for a row of another width
    // or with a NaN or infinite value. Returns the row's ring index through `index`.
    bool AddPoint(std::span<const double> row, std::size_t* index = nullptr);

    const std::vector<CGraphItem>& GetItems() const { return m_items; }
    int GetItemsCount() const { return static_cast<int>(m_items.size()); }
    std::size_t GetCapacity() const { return m_capacity; }
    // Points held, oldest first: point(k) for k in [0, GetPointsCount()).
    std::size_t GetPointsCount() const;
    double GetValue(std::size_t point, int item) const;
    // The ring index of point k (what a scope logger hands out as "index").
    std::size_t RingIndex(std::size_t point) const;
    // Points ever appended since the last clear, and a number that changes on every clear.
    std::uint64_t GetAppended() const { return m_appended; }
    std::uint64_t GetGeneration() const { return m_generation; }

    // The document's filters (a logger's graph has one, filter 0).
    CGraphFilter* GetAt(int index);
    const CGraphFilter* GetAt(int index) const;
    int GetFilterCount() const { return static_cast<int>(m_filters.size()); }
    CGraphFilter& AddFilter();

private:
    std::vector<CGraphItem> m_items;
    std::vector<double> m_values;  // row-major, m_items.size() per row
    std::size_t m_capacity = 0;
    std::uint64_t m_appended = 0;
    std::uint64_t m_generation = 0;
    std::vector<std::unique_ptr<CGraphFilter>> m_filters;
};

// How a curve is drawn: the line width in pixels, 0 for markers only.
constexpr int kCurveMarkersOnly = 0;

// One curve: Y item over X item, in one plot area (1 the upper; each area has its own Y axis).
struct CXYCurve {
    CXYCurve() = default;
    CXYCurve(int area, int yItem, GraphColor color) : m_nArea(area), m_nYItem(yItem), m_Color(color) {}
    int m_nArea = 1;
    int m_nXItem = 0;
    int m_nYItem = 1;
    GraphColor m_Color = 0;
    int m_nLineStyle = 1;
};

struct GraphRange {
    double min = 0.0;
    double max = 1.0;
};

// What a graph shows of a document: its curves, title, grid colour and axis labels.
class CGraphFilter {
public:
    explicit CGraphFilter(CGraphDocument& document) : m_document(document) {}

    CGraphDocument& GetDocument() { return m_document; }
    const CGraphDocument& GetDocument() const { return m_document; }

    void Add(const CXYCurve& curve) { m_curves.push_back(curve); }
    void RemoveAll() { m_curves.clear(); }
    const std::vector<CXYCurve>& GetCurves() const { return m_curves; }
    std::vector<CXYCurve>& GetCurves() { return m_curves; }

    // The legend text of a curve: "name [unit]" of its Y item ("item 7" if it has none).
    std::string CurveLabel(const CXYCurve& curve) const;
    // The X axis label from the X item of the first curve.
    std::string XLabel() const;

    // Writes the shown items (X, then each curve's Y once) as CSV, oldest point first: a header
    // row "name [unit]", then one row per point, numbers in shortest round-trip form. Written
    // atomically; returns the reason on failure, empty on success.
    std::string WriteCsv(const std::string& path) const;
    // WriteCsv to "<stem>.csv"; non-zero on success.
    int ExportToASCII(const std::string& stem) const;

    std::string m_Title;
    GraphColor m_GridColor = GraphRGB(192, 192, 192);
    // Kept with a scope's saved settings; drawing does not use them.
    std::array<double, 2> m_Numbers = {0.0, 0.0};
    bool m_bLegend = true;
    // The value range of an area (1 the upper) that its curves' scales fix, in the document's
    // values; an area without one fits its data.
    std::map<int, GraphRange> m_areaRanges;

private:
    CGraphDocument& m_document;
    std::vector<CXYCurve> m_curves;
};

// A graph shown in a dialog control: `areas` plot areas stacked, sharing the X axis.
class CGraphWindow {
public:
    explicit CGraphWindow(int areas = 1, int flags = 0);
    virtual ~CGraphWindow();
    CGraphWindow(const CGraphWindow&) = delete;
    CGraphWindow& operator=(const CGraphWindow&) = delete;

    // Shows `filter` in control `id` of `dialog` (again: replaces what it showed).
    bool SubclassDlgItem(int id, CDialog* dialog, CGraphFilter* filter);
    // The set-up step after subclassing: titles and axes from the filter, zoomed out.
    virtual void ApplySettings();
    // Everything is to be drawn again (after the curves or the document changed).
    void RefreshGraph();
    // The newest point, or the point at a ring index, is to be drawn: both just let the view
    // take what was appended since it last drew.
    void UpdateLastPoint();
    void UpdatePoint(std::size_t index);
    void UpdateWindow();
    void Invalidate(bool erase = true);

    // Zoom: fit everything (and follow new points), or show a fixed X window (Y still fits
    // what is inside it unless fixed too).
    void DoZoomOut();
    void ZoomX(double min, double max);
    void ZoomY(int area, double min, double max);
    bool IsZoomed() const { return m_zoomX.has_value(); }
    // The ranges to draw: the zoom, else the data's extent with a margin, never empty.
    GraphRange XRange() const;
    GraphRange YRange(int area) const;

    // Two vertical cursors (0 and 1) at X positions; the curves' values there, interpolated
    // between neighbouring points (none outside the data).
    void SetCursor(int which, std::optional<double> x);
    std::optional<double> GetCursor(int which) const;
    std::vector<std::optional<double>> ValuesAtCursor(int which) const;

    // What a drawing backend needs.
    CGraphFilter* GetFilter() const { return m_filter; }
    int GetAreaCount() const { return m_areas; }
    int GetFlags() const { return m_flags; }
    int GetControlId() const { return m_id; }
    CDialog* GetDialog() const { return m_dialog; }
    // Changes with every change a view must show.
    std::uint64_t GetRevision() const { return m_revision; }
    // What the view has not drawn yet: new points [first, first + count) by point number since
    // the last clear (document.GetAppended() counts them), or a full rebuild.
    struct Pending {
        bool rebuild = false;
        std::uint64_t first = 0;
        std::uint64_t count = 0;
    };
    Pending TakePending();

    // Writes a picture of the graph ("<stem>.svg"); needs a drawing backend (the Qt one
    // installs it). Non-zero on success.
    int CreateWMF(const std::string& stem);
    using PictureWriter = std::function<std::string(const CGraphWindow&, const std::string& path)>;
    // Installs the writer of pictures (PNG or SVG by the path's extension); returns the previous.
    static PictureWriter SetPictureWriter(PictureWriter writer);
    // Empty on success, else the reason.
    std::string WritePicture(const std::string& path) const;

private:
    void Touch() { ++m_revision; }

    int m_areas = 1;
    int m_flags = 0;
    int m_id = 0;
    CDialog* m_dialog = nullptr;
    CGraphFilter* m_filter = nullptr;
    std::optional<GraphRange> m_zoomX;
    std::vector<std::optional<GraphRange>> m_zoomY;
    std::array<std::optional<double>, 2> m_cursors;
    std::uint64_t m_revision = 1;
    // What the view has drawn: the document's generation and appended count then.
    bool m_drawnValid = false;
    std::uint64_t m_drawnGeneration = 0;
    std::uint64_t m_drawnAppended = 0;
};

// A horizontal bar showing one value between two limits, filled from a reference value.
class CBarGraph {
public:
    CBarGraph();
    ~CBarGraph();
    CBarGraph(const CBarGraph&) = delete;
    CBarGraph& operator=(const CBarGraph&) = delete;

    bool SubclassDlgItem(int id, CDialog* dialog);
    // Limits in either order; NaN or infinite arguments are ignored (the old ones stay).
    void SetLimits(double lo, double hi);
    void SetCurrentValue(double value);
    void SetDrawingReference(double reference);
    void SetColor(GraphColor color);
    // A printf format with one floating conversion ("%.2f", "%.2G"); anything else (no
    // conversion, two, a string or integer one) is refused and "%g" stays.
    bool SetValueFormat(const std::string& format);
    void Repaint();

    double GetLow() const { return m_lo; }
    double GetHigh() const { return m_hi; }
    double GetCurrentValue() const { return m_value; }
    double GetDrawingReference() const { return m_reference; }
    GraphColor GetColor() const { return m_color; }
    // Positions along the bar, 0 at the low limit and 1 at the high one, clamped; a bar with
    // equal limits puts everything at 0.5.
    double ReferenceFraction() const;
    double ValueFraction() const;
    std::string ValueText() const;
    std::uint64_t GetRevision() const { return m_revision; }
    int GetControlId() const { return m_id; }

private:
    double Fraction(double x) const;

    int m_id = 0;
    CDialog* m_dialog = nullptr;
    double m_lo = 0.0;
    double m_hi = 1.0;
    double m_value = 0.0;
    double m_reference = 0.0;
    GraphColor m_color = GraphRGB(0, 0, 255);
    std::string m_format = "%g";
    std::uint64_t m_revision = 1;
};

// The graph or bar a dialog's control shows, for the backend that draws it; null if none.
CGraphWindow* FindGraphWindow(const CDialog* dialog, int id);
CBarGraph* FindBarGraph(const CDialog* dialog, int id);
