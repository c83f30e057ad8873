// The link tests' picture for quorvel-speed --plot: the loopback's throughput
// each second above the latency histogram, as one SVG file that any browser shows.
#ifndef QUORVEL_SPEED_PLOT_H
#define QUORVEL_SPEED_PLOT_H

#include <string>
#include <vector>

#include "LinkTests.h"

// `kbps`: each second's figure (none: no loopback ran); `sizes`: each latency
// size's trips (none: no latency test ran). `title` names the port.
std::string PlotSvg(const std::string &title, const std::vector<double> &kbps, const std::vector<TripFigures> &sizes);

#endif
