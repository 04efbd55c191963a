// Saving a tuning test's plot: the samples as CSV and the picture as SVG and PNG, under one stem.
#pragma once

#include "MC_Graph.h"

#include <string>

namespace pelmora {

// Writes "<directory>/<stem>.csv", ".svg" and ".png". Empty on success, else what failed and
// where; the files written before a failure stay.
std::string ExportPlot(const CGraphWindow& graph, const std::string& directory, const std::string& stem);

}  // namespace pelmora
