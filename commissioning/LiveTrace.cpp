#include "LiveTrace.h"

#include <array>
#include <cmath>

namespace pelmora {

CLiveTrace::CLiveTrace() : m_filter(&m_document.AddFilter()) {
    m_document.SetCapacity(kCapacity);
}

bool CLiveTrace::SubclassDlgItem(int id, CDialog* dialog) { return m_window.SubclassDlgItem(id, dialog, m_filter); }

void CLiveTrace::Initialize(const std::string& name, const std::string& unit) {
    m_document.SetItems({CGraphItem{"time", "s"}, CGraphItem{name, unit}});
    m_document.SetCapacity(kCapacity);
    m_filter->RemoveAll();
    m_filter->Add(CXYCurve(1, 1, m_color));
    m_filter->m_bLegend = false;
    m_window.ApplySettings();
    m_window.ZoomY(1, m_lo, m_hi);
}

void CLiveTrace::SetVerticalRange(double lo, double hi) {
    m_lo = lo;
    m_hi = hi;
    m_window.ZoomY(1, lo, hi);
}

void CLiveTrace::SetColor(GraphColor color) {
    m_color = color;
    for (CXYCurve& curve : m_filter->GetCurves()) curve.m_Color = color;
    m_window.RefreshGraph();
}

void CLiveTrace::SetCurrentValue(double time_s, double value) {
    if (!std::isfinite(time_s) || !std::isfinite(value)) return;
    const std::array row = {time_s, value};
    m_document.AddPoint(row);
}

double CLiveTrace::GetCurrentValue() const {
    const std::size_t points = m_document.GetPointsCount();
    return points == 0 ? 0.0 : m_document.GetValue(points - 1, 1);
}

}  // namespace pelmora
