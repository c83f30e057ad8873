#include "Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const int Width = 800, PanelHeight = 300, Left = 70, Right = 20, Top = 40, Bottom = 50;
const char *const Colours[] = {"#1f77b4", "#ff7f0e", "#2ca02c"};

std::string Num(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// As short as it is exact: 0.05, 2, 1000.
std::string Short(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string Escaped(const std::string &text)
{
    std::string out;
    for (char c : text) out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    return out;
}

std::string Text(double x, double y, const std::string &what, const char *anchor = "middle", int size = 12)
{
    return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\" font-size=\"" + std::to_string(size) + "\">" +
           Escaped(what) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const char *colour = "#888")
{
    return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) + "\" stroke=\"" + colour + "\"/>\n";
}

// A round step for an axis that reaches `top`: 1, 2 or 5 times a power of ten.
double Step(double top)
{
    const double raw = top / 5, power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) return m * power;
    return 10 * power;
}

std::string Axes(int y0, const std::string &title, const std::string &xLabel, const std::string &yLabel)
{
    const int h = PanelHeight - Top - Bottom;
    return Text(Width / 2.0, y0 + 24, title, "middle", 15) + Line(Left, y0 + Top, Left, y0 + Top + h) +
           Line(Left, y0 + Top + h, Width - Right, y0 + Top + h) + Text((Left + Width - Right) / 2.0, y0 + PanelHeight - 8, xLabel) +
           "<text x=\"16\" y=\"" + Num(y0 + Top + h / 2.0) + "\" text-anchor=\"middle\" font-size=\"12\" transform=\"rotate(-90 16 " +
           Num(y0 + Top + h / 2.0) + ")\">" + Escaped(yLabel) + "</text>\n";
}

std::string Throughput(const std::vector<double> &kbps, int y0)
{
    std::string out = Axes(y0, "Loopback: throughput each second", "second", "KB/s each way");
    const int h = PanelHeight - Top - Bottom, w = Width - Left - Right;
    if (kbps.empty()) return out + Text(Width / 2.0, y0 + Top + h / 2.0, "no loopback ran, or it lasted less than a second");
    const double top = std::max(1.0, *std::max_element(kbps.begin(), kbps.end())) * 1.1, step = Step(top);
    for (double v = 0; v <= top; v += step) {
        const double y = y0 + Top + h - v / top * h;
        out += Line(Left - 4, y, Left, y) + Text(Left - 6, y + 4, Short(v), "end", 11);
    }
    const double dx = double(w) / double(kbps.size());
    std::string points;
    for (std::size_t i = 0; i < kbps.size(); ++i) {
        const double x = Left + dx * (double(i) + 0.5), y = y0 + Top + h - kbps[i] / top * h;
        points += Num(x) + "," + Num(y) + " ";
        out += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"3\" fill=\"" + Colours[0] + "\"/>\n";
        if (kbps.size() <= 30 || i % (kbps.size() / 15 + 1) == 0) out += Text(x, y0 + Top + h + 16, std::to_string(i + 1), "middle", 11);
    }
    return out + "<polyline fill=\"none\" stroke=\"" + Colours[0] + "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
}

std::string Latency(const std::vector<TripFigures> &sizes, int y0)
{
    std::string out = Axes(y0, "Latency: round trips by time", "round trip (ms)", "round trips");
    const int h = PanelHeight - Top - Bottom, w = Width - Left - Right;
    const std::vector<double> &bounds = HistogramBounds();
    std::vector<std::vector<std::uint64_t>> bins;
    std::uint64_t most = 0;
    for (const TripFigures &f : sizes) {
        bins.push_back(Histogram(f.Ms));
        for (std::uint64_t b : bins.back()) most = std::max(most, b);
    }
    if (!most) return out + Text(Width / 2.0, y0 + Top + h / 2.0, "no latency test ran, or no trip came back");
    const double top = double(most) * 1.1, step = std::max(1.0, Step(top));
    for (double v = 0; v <= top; v += step) {
        const double y = y0 + Top + h - v / top * h;
        out += Line(Left - 4, y, Left, y) + Text(Left - 6, y + 4, std::to_string((long long)v), "end", 11);
    }
    const std::size_t n = bounds.size() + 1;
    const double slot = double(w) / double(n), bar = slot * 0.8 / double(std::max<std::size_t>(sizes.size(), 1));
    for (std::size_t b = 0; b < n; ++b) {
        const std::string label = b == bounds.size() ? ">=" + Short(bounds.back()) : "<" + Short(bounds[b]);
        out += Text(Left + slot * (double(b) + 0.5), y0 + Top + h + 16, label, "middle", 10);
        for (std::size_t s = 0; s < sizes.size(); ++s) {
            const double height = double(bins[s][b]) / top * h;
            if (!bins[s][b]) continue;
            out += "<rect x=\"" + Num(Left + slot * double(b) + slot * 0.1 + bar * double(s)) + "\" y=\"" + Num(y0 + Top + h - height) +
                   "\" width=\"" + Num(bar) + "\" height=\"" + Num(height) + "\" fill=\"" + Colours[s % 3] + "\"/>\n";
        }
    }
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        const double x = Width - Right - 200, y = y0 + Top + 8 + 18 * double(s);
        out += "<rect x=\"" + Num(x) + "\" y=\"" + Num(y - 10) + "\" width=\"12\" height=\"12\" fill=\"" + Colours[s % 3] + "\"/>\n" +
               Text(x + 18, y, std::to_string(sizes[s].Bytes) + (sizes[s].Bytes == 1 ? " byte" : " bytes") + ", median " + [&] {
                   char t[32];
                   std::snprintf(t, sizeof t, "%.3f", sizes[s].Median);
                   return std::string(t);
               }() + " ms",
                    "start", 11);
    }
    return out;
}

}  // namespace

std::string PlotSvg(const std::string &title, const std::vector<double> &kbps, const std::vector<TripFigures> &sizes)
{
    const int height = 2 * PanelHeight + 30;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(Width) +
           "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(Width) + " " + std::to_string(height) +
           "\" font-family=\"sans-serif\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" + Text(Width / 2.0, 20, title, "middle", 16) +
           Throughput(kbps, 30) + Latency(sizes, 30 + PanelHeight) + "</svg>\n";
}
