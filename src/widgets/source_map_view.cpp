#include "widgets/source_map_view.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <array>
#include <cstdint>

#include "recover/source_map.h"

namespace kestrix::widgets {

namespace {

constexpr int kRows = rebuild::kMapRows;
constexpr int kSwatchWidth = 14, kSwatchHeight = 10;
constexpr std::size_t kZeroSamples = 64;  // zero-map units looked at for one cell
// The pages found during a scan are kept as a bit for each of this many stretches of a row,
// so that their memory does not grow with their number. Once the width changes, a page's
// mark may reach one pixel further than the page.
constexpr std::int64_t kHitStretches = 8192;

// Row offsets times widths reach 2^63 times a few thousand pixels.
__extension__ using Wide = unsigned __int128;

// floor(a * b / c) without overflow, for results that fit.
std::int64_t scaled(std::int64_t a, std::int64_t b, std::int64_t c) {
  return std::int64_t(Wide(std::uint64_t(a)) * std::uint64_t(b) / std::uint64_t(c));
}
// ceil(a * b / c).
std::int64_t scaledUp(std::int64_t a, std::int64_t b, std::int64_t c) {
  return std::int64_t((Wide(std::uint64_t(a)) * std::uint64_t(b) + std::uint64_t(c) - 1) / std::uint64_t(c));
}

QString megabytes(std::int64_t bytes) { return QString::number(double(bytes) / 1e6, 'f', 1); }

// The byte where a sector starts, kept in range for sectors past any source (0 before it).
std::int64_t byteOf(std::int64_t sector) {
  constexpr std::int64_t page = std::int64_t(scan::kPageSize);
  return sector <= 0 ? 0 : sector >= INT64_MAX / page ? INT64_MAX : sector * page;
}

}  // namespace

// The rows share the height above the legend, each at least 2 pixels high; a row of 5 or
// more leaves its last line blank.
struct SourceMapView::Layout {
  int legendTop = 0;  // where the rows end
  int top(int row) const { return row * legendTop / kRows; }
  int height(int row) const {
    const int pitch = top(row + 1) - top(row);
    return pitch >= 5 ? pitch - 1 : pitch;
  }
  // The row that pixel line y lies in, -1 for none.
  int rowAt(int y) const { return y < 0 || y >= legendTop ? -1 : ((y + 1) * kRows - 1) / legendTop; }
};

struct SourceMapView::LegendEntry {
  Mark mark;
  QString text;
};

SourceMapView::SourceMapView(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setAccessibleName(tr("源的分布图"));
}

SourceMapView::~SourceMapView() = default;

void SourceMapView::setSource(std::int64_t bytes) {
  m_size = std::clamp<std::int64_t>(bytes, 0, INT64_MAX - kRows);  // so that kRows rows of perRow bytes fit
  m_perRow = std::max<std::int64_t>(1, m_size / kRows + (m_size % kRows != 0));
  m_scanned = -1;
  m_hitStretches.clear();
  m_fragments.reset();
  m_fileStart.clear();
  m_files.clear();
  m_unreadable.clear();
  m_zeros.reset();
  m_selectedFragment = m_selectedFile = 0;
  m_selected.clear();
  fold();
  legendChanged();
  update();
}

void SourceMapView::setScanned(std::int64_t bytesRead) {
  if (m_scanned < 0) legendChanged();
  m_scanned = std::max<std::int64_t>(0, bytesRead);
  update();
}

void SourceMapView::addHits(std::span<const std::int64_t> sectors) {
  if (m_fragments) return;  // the results replaced the pages
  for (const std::int64_t sector : sectors) {
    const std::int64_t from = byteOf(sector);
    if (sector < 0 || from >= m_size) continue;
    if (m_hitStretches.empty()) {
      m_hitStretches.assign(std::size_t(kRows) * kHitStretches, false);
      legendChanged();
    }
    m_hitStretches[std::size_t(from / m_perRow) * kHitStretches +
                   std::size_t(scaled(from % m_perRow, kHitStretches, m_perRow))] = true;
    markHits(from, std::min(m_size, from + std::int64_t(scan::kPageSize)));
  }
  update();
}

void SourceMapView::setResults(std::shared_ptr<const std::vector<scan::Fragment>> fragments,
                               std::span<const std::vector<std::int32_t>> filesOfFragment,
                               std::span<const scan::SectorRun> unreadable,
                               std::shared_ptr<const scan::ZeroMap> zeros) {
  m_hitStretches = {};
  m_fragments = fragments ? std::move(fragments) : std::make_shared<const std::vector<scan::Fragment>>();
  const std::size_t n = m_fragments->size();
  m_fileStart.assign(1, 0);
  m_fileStart.reserve(n + 1);
  m_files.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (i < filesOfFragment.size()) m_files.insert(m_files.end(), filesOfFragment[i].begin(), filesOfFragment[i].end());
    m_fileStart.push_back(std::uint32_t(m_files.size()));
  }
  m_files.shrink_to_fit();
  m_unreadable.assign(unreadable.begin(), unreadable.end());
  m_zeros = std::move(zeros);
  m_selectedFragment = m_selectedFile = 0;
  m_selected.clear();
  fold();
  legendChanged();
  update();
}

std::pair<std::int64_t, std::int64_t> SourceMapView::bytesOf(std::size_t index) const {
  const scan::Fragment& f = (*m_fragments)[index];
  const std::int64_t from = byteOf(f.first.sector);
  if (from >= m_size) return {from, from};
  // The end as the SVG gives it, at least one byte past the start.
  return {from, std::max(from + 1, std::min(m_size, byteOf(f.endSector())))};
}

std::span<const std::int32_t> SourceMapView::filesOf(std::size_t index) const {
  return std::span(m_files).subspan(m_fileStart[index], m_fileStart[index + 1] - m_fileStart[index]);
}

SourceMapView::Mark SourceMapView::fragmentMark(std::size_t index) const {
  const std::size_t files = filesOf(index).size();
  return files == 0 ? Mark::Unused : files == 1 ? Mark::File : Mark::Shared;
}

// Cell c is column c % m_columns of row c / m_columns. Column k of a row shows the row's bytes
// from floor(k * perRow / columns) on, at least one byte: where a byte is wider than a pixel,
// neighbouring cells show the same byte.
std::int64_t SourceMapView::cellStart(std::int64_t cell) const {
  const std::int64_t row = cell / m_columns, column = cell % m_columns;
  return row * m_perRow + scaled(column, m_perRow, m_columns);
}

std::int64_t SourceMapView::cellOf(std::int64_t byte) const {
  return byte / m_perRow * m_columns + scaled(byte % m_perRow, m_columns, m_perRow);
}

namespace {

// Calls fn(cell, bytes of [from, to) in it) for every cell that shows bytes of [from, to).
template <typename Fn>
void forEachCell(std::int64_t from, std::int64_t to, std::int64_t perRow, std::int64_t columns, Fn&& fn) {
  for (std::int64_t row = from / perRow; row < kRows && row * perRow < to; ++row) {
    const std::int64_t base = row * perRow;
    const std::int64_t a = std::max(from, base) - base, b = std::min(to, base + perRow) - base;
    // Column k shows [s(k), max(s(k) + 1, s(k + 1))) with s(k) = floor(k * perRow / columns).
    const std::int64_t first = std::max<std::int64_t>(0, std::min(scaledUp(a + 1, columns, perRow) - 1,
                                                                  scaledUp(a, columns, perRow)));
    const std::int64_t last = std::min(columns - 1, scaledUp(b, columns, perRow) - 1);
    std::int64_t start = scaled(first, perRow, columns);
    for (std::int64_t k = first; k <= last; ++k) {
      const std::int64_t next = scaled(k + 1, perRow, columns);
      const std::int64_t overlap = std::min(b, std::max(start + 1, next)) - std::max(a, start);
      if (overlap > 0) fn(row * columns + k, overlap);
      start = next;
    }
  }
}

}  // namespace

void SourceMapView::fold() {
  m_columns = std::max(1, width());
  const std::size_t cells = std::size_t(kRows) * std::size_t(m_columns);
  m_marks.assign(cells, Mark::None);
  m_cellFile.assign(cells, 0);
  // Where the source lies, then the zeros: a cell is pale when most of what it shows held zeros.
  for (std::size_t c = 0; c < cells; ++c) {
    const std::int64_t start = cellStart(std::int64_t(c));
    if (start >= m_size) continue;
    m_marks[c] = Mark::Source;
    if (!m_zeros || m_zeros->zero.empty()) continue;
    const std::int64_t end = std::min(m_size, std::max(start + 1, cellStart(std::int64_t(c) + 1)));
    const std::size_t units = m_zeros->zero.size();
    const std::size_t u0 = std::size_t(start / scan::ZeroMap::kUnit);
    const std::size_t u1 = std::min(units, std::size_t((end - 1) / scan::ZeroMap::kUnit) + 1);
    if (u0 >= u1) continue;
    // At most kZeroSamples units, spread evenly: a 4 TB source has 61 million of them.
    const std::size_t step = (u1 - u0 + kZeroSamples - 1) / kZeroSamples;
    std::size_t seen = 0, zero = 0;
    for (std::size_t u = u0; u < u1; u += step, ++seen) zero += m_zeros->zero[u];
    if (zero * 2 > seen) m_marks[c] = Mark::Zeros;
  }
  if (m_fragments) {
    // Each cell shows the fragment that covers most of it, the first of equals.
    std::vector<std::int64_t> covered(cells, 0);
    for (std::size_t i = 0; i < m_fragments->size(); ++i) {
      const auto [from, to] = bytesOf(i);
      if (from >= m_size) continue;
      const Mark mark = fragmentMark(i);
      const std::int32_t file = mark == Mark::Unused ? 0 : filesOf(i).front();
      forEachCell(from, to, m_perRow, m_columns, [&](std::int64_t cell, std::int64_t overlap) {
        if (overlap <= covered[std::size_t(cell)]) return;
        covered[std::size_t(cell)] = overlap;
        m_marks[std::size_t(cell)] = mark;
        m_cellFile[std::size_t(cell)] = file;
      });
    }
  } else if (!m_hitStretches.empty()) {
    // Stretch k of a row holds the row's bytes from ceil(k * perRow / kHitStretches) on.
    for (std::size_t i = 0; i < m_hitStretches.size(); ++i) {
      if (!m_hitStretches[i]) continue;
      const std::int64_t base = std::int64_t(i / kHitStretches) * m_perRow, k = std::int64_t(i % kHitStretches);
      markHits(base + scaledUp(k, m_perRow, kHitStretches),
               std::min(m_size, base + scaledUp(k + 1, m_perRow, kHitStretches)));
    }
  }
  for (const scan::SectorRun& run : m_unreadable) {
    const std::int64_t from = byteOf(run.first);
    if (from >= m_size || run.count <= 0) continue;
    const std::int64_t count = std::min(run.count, INT64_MAX / std::int64_t(scan::kPageSize));
    forEachCell(from, std::min(m_size, byteOf(run.first + count)), m_perRow, m_columns,
                [&](std::int64_t cell, std::int64_t) { m_marks[std::size_t(cell)] = Mark::Unreadable; });
  }
}

void SourceMapView::markHits(std::int64_t from, std::int64_t to) {
  forEachCell(from, to, m_perRow, m_columns,
              [&](std::int64_t cell, std::int64_t) { m_marks[std::size_t(cell)] = Mark::Hit; });
}

std::size_t SourceMapView::fragmentInCell(std::int64_t cell) const {
  if (!m_fragments || cell < 0 || m_marks[std::size_t(cell)] == Mark::None) return 0;
  const std::int64_t a = cellStart(cell);
  const std::int64_t b = std::min(m_size, std::max(a + 1, cellStart(cell + 1)));
  // The fragments lie in sector order, so their ends increase too.
  const auto& fragments = *m_fragments;
  std::size_t i = std::size_t(std::partition_point(fragments.begin(), fragments.end(),
                                                   [&](const scan::Fragment& f) {
                                                     return byteOf(f.endSector()) <= a;
                                                   }) -
                              fragments.begin());
  std::size_t best = 0;
  std::int64_t most = 0;
  for (; i < fragments.size(); ++i) {
    const auto [from, to] = bytesOf(i);
    if (from >= b) break;
    const std::int64_t overlap = std::min(b, to) - std::max(a, from);
    if (overlap > most) {
      most = overlap;
      best = i + 1;
    }
  }
  return best;
}

SourceMapView::Layout SourceMapView::layout() const {
  Layout l;
  l.legendTop = std::max(2 * kRows, height() - legendHeight(width()));
  return l;
}

std::int64_t SourceMapView::cellAt(QPoint point) const {
  const int row = layout().rowAt(point.y());
  if (point.x() < 0 || point.x() >= m_columns || row < 0) return -1;
  return std::int64_t(row) * m_columns + point.x();
}

QRect SourceMapView::byteRect(std::int64_t byte) const {
  if (byte < 0 || byte >= m_size) return {};
  const Layout l = layout();
  const std::int64_t cell = cellOf(byte);
  const int row = int(cell / m_columns);
  return QRect(int(cell % m_columns), l.top(row), 1, l.height(row));
}

int SourceMapView::fragmentAt(QPoint point) const {
  const std::size_t index = fragmentInCell(cellAt(point));
  return index ? (*m_fragments)[index - 1].number : 0;
}

SourceMapView::Mark SourceMapView::markAt(QPoint point) const { return markOf(cellAt(point)); }

SourceMapView::Mark SourceMapView::markOf(std::int64_t cell) const {
  if (cell < 0) return Mark::None;
  const Mark mark = m_marks[std::size_t(cell)];
  if (m_scanned >= 0 && mark == Mark::Source && cellStart(cell) >= m_scanned) return Mark::Unread;
  return mark;
}

QString SourceMapView::toolTipAt(QPoint point) const {
  const std::int64_t cell = cellAt(point);
  const std::size_t index = fragmentInCell(cell);
  if (!index) return {};
  const scan::Fragment& f = (*m_fragments)[index - 1];
  const auto [from, to] = bytesOf(index - 1);
  const auto files = filesOf(index - 1);
  QStringList numbers;
  for (const std::int32_t n : files) numbers << QString::number(n);
  const QString used = files.empty()       ? tr("无文件使用")
                 : files.size() == 1 ? tr("文件 %1").arg(numbers.front())
                 : files.size() == 2 ? tr("两个文件：%1").arg(numbers.join(", "))
                                     : tr("%1 个文件：%2").arg(files.size()).arg(numbers.join(", "));
  QStringList lines{tr("碎片 %1").arg(f.number),
                    tr("字节 %1 至 %2（%3 MB 至 %4 MB）").arg(from).arg(to).arg(megabytes(from), megabytes(to)),
                    tr("ID %1 至 %2").arg(f.first.id).arg(f.last.id), used};
  if (m_marks[std::size_t(cell)] == Mark::Unreadable) lines << tr("此处有无法读取的扇区");
  return lines.join('\n');
}

void SourceMapView::selectFragment(int fragmentNumber) {
  m_selectedFile = 0;
  m_selectedFragment = 0;
  m_selected.clear();
  if (m_fragments && fragmentNumber > 0) {
    const auto& fragments = *m_fragments;
    std::size_t i = std::size_t(fragmentNumber - 1);
    if (i >= fragments.size() || fragments[i].number != fragmentNumber)
      i = std::size_t(std::find_if(fragments.begin(), fragments.end(),
                                   [&](const scan::Fragment& f) { return f.number == fragmentNumber; }) -
                      fragments.begin());
    if (i < fragments.size()) {
      m_selectedFragment = fragmentNumber;
      m_selected.push_back(i);
    }
  }
  update();
}

void SourceMapView::selectFile(int fileNumber) {
  m_selectedFile = 0;
  m_selectedFragment = 0;
  m_selected.clear();
  if (m_fragments && fileNumber > 0) {
    for (std::size_t i = 0; i < m_fragments->size(); ++i) {
      const auto files = filesOf(i);
      if (std::find(files.begin(), files.end(), fileNumber) != files.end()) m_selected.push_back(i);
    }
    if (!m_selected.empty()) m_selectedFile = fileNumber;
  }
  update();
}

QRgb SourceMapView::colourOf(Mark mark, std::int32_t file) const {
  struct Colours {
    std::array<QRgb, 360> hues{};
    QRgb source = QColor(rebuild::kSourceFill).rgba(), zeros = QColor(rebuild::kZerosFill).rgba(),
         unused = QColor(rebuild::kUnusedFill).rgba(), unreadable = QColor(rebuild::kUnreadableFill).rgba();
    Colours() {
      for (int h = 0; h < 360; ++h)
        hues[std::size_t(h)] =
            QColor::fromHsl(h, rebuild::kFileSaturation * 255 / 100, rebuild::kFileLightness * 255 / 100).rgba();
    }
  };
  static const Colours colours;
  switch (mark) {
    case Mark::None: return 0;  // transparent
    case Mark::Unread: return qRgb(0xf6, 0xf6, 0xf6);
    case Mark::Source: return colours.source;
    case Mark::Zeros: return colours.zeros;
    case Mark::Hit: return qRgb(0x1f, 0x4e, 0x9c);
    case Mark::File:
    case Mark::Shared: return colours.hues[std::size_t(rebuild::fileHue(file))];
    case Mark::Unused: return colours.unused;
    case Mark::Unreadable: return colours.unreadable;
  }
  return 0;
}

std::vector<SourceMapView::LegendEntry> SourceMapView::legend() const {
  std::vector<LegendEntry> entries{{Mark::File, tr("文件（每个文件一种颜色）")},
                                   {Mark::Shared, tr("两个或更多文件使用")},
                                   {Mark::Unused, tr("无文件使用")},
                                   {Mark::Unreadable, tr("无法读取")},
                                   {Mark::Zeros, tr("全为零")},
                                   {Mark::Source, tr("其他数据")}};
  if (m_scanned >= 0) entries.push_back({Mark::Unread, tr("尚未读取")});
  if (!m_hitStretches.empty()) entries.push_back({Mark::Hit, tr("找到的分配映射页")});
  return entries;
}

void SourceMapView::legendChanged() {
  m_legendWidth = -1;
  updateGeometry();
}

// The legend flows in lines under the rows.
int SourceMapView::legendHeight(int width) const {
  if (width == m_legendWidth) return m_legendHeight;
  const QFontMetrics metrics = fontMetrics();
  int lines = 1, x = 0;
  for (const LegendEntry& entry : legend()) {
    const int w = kSwatchWidth + 4 + metrics.horizontalAdvance(entry.text) + 16;
    if (x > 0 && x + w > width) {
      ++lines;
      x = 0;
    }
    x += w;
  }
  m_legendWidth = width;
  m_legendHeight = 6 + lines * (metrics.height() + 4);
  return m_legendHeight;
}

QSize SourceMapView::sizeHint() const { return {800, kRows * 6 + legendHeight(800)}; }

QSize SourceMapView::minimumSizeHint() const { return {240, kRows * 2 + legendHeight(240)}; }

void SourceMapView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (width() != m_columns) fold();
}

void SourceMapView::paintEvent(QPaintEvent*) {
  if (width() != m_columns) fold();  // resized while hidden
  QPainter painter(this);
  const Layout l = layout();
  // The rows, a line of pixels at a time: each cell's colour, and where it is shared, the
  // mark at its top and bottom.
  const QRgb shared = QColor(rebuild::kSharedMark).rgba();
  QImage rows(m_columns, l.legendTop, QImage::Format_ARGB32);
  rows.fill(Qt::transparent);
  std::vector<QRgb> line(static_cast<std::size_t>(m_columns)), edge(line.size());
  for (int row = 0; row < kRows; ++row) {
    const std::int64_t base = std::int64_t(row) * m_columns;
    for (int k = 0; k < m_columns; ++k) {
      const Mark mark = markOf(base + k);
      line[std::size_t(k)] = mark == Mark::None ? 0 : colourOf(mark, m_cellFile[std::size_t(base + k)]);
      edge[std::size_t(k)] = mark == Mark::Shared ? shared : line[std::size_t(k)];
    }
    const int height = l.height(row), stripe = height >= 6 ? 2 : 1;
    for (int y = 0; y < height; ++y) {
      const auto& pixels = y < stripe || y >= height - stripe ? edge : line;
      std::copy(pixels.begin(), pixels.end(), reinterpret_cast<QRgb*>(rows.scanLine(l.top(row) + y)));
    }
  }
  painter.drawImage(0, 0, rows);
  paintSelection(painter, l);

  // The legend.
  const QColor sharedMark(rebuild::kSharedMark);
  const QFontMetrics metrics = fontMetrics();
  int x = 0, y = l.legendTop + 6;
  for (const LegendEntry& entry : legend()) {
    const int w = kSwatchWidth + 4 + metrics.horizontalAdvance(entry.text) + 16;
    if (x > 0 && x + w > width()) {
      x = 0;
      y += metrics.height() + 4;
    }
    const QRect swatch(x, y + (metrics.height() - kSwatchHeight) / 2, kSwatchWidth, kSwatchHeight);
    if (entry.mark == Mark::File) {
      for (int i = 0; i < 4; ++i) {  // files 1 to 4: what different files look like side by side
        const int left = swatch.x() + i * kSwatchWidth / 4, right = swatch.x() + (i + 1) * kSwatchWidth / 4;
        painter.fillRect(QRect(left, swatch.y(), right - left, kSwatchHeight), QColor::fromRgba(colourOf(Mark::File, i + 1)));
      }
    } else {
      painter.fillRect(swatch, QColor::fromRgba(colourOf(entry.mark == Mark::Shared ? Mark::Unused : entry.mark, 0)));
      if (entry.mark == Mark::Shared) {
        painter.fillRect(QRect(swatch.x(), swatch.y(), kSwatchWidth, 2), sharedMark);
        painter.fillRect(QRect(swatch.x(), swatch.bottom() - 1, kSwatchWidth, 2), sharedMark);
      }
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(swatch.adjusted(0, 0, -1, -1));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(x + kSwatchWidth + 4, y, w, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, entry.text);
    x += w;
  }
}

// The selected fragments, outlined as one shape over the rows they touch, in amber over white:
// black would read as unreadable sectors, and an outline per row as stripes.
void SourceMapView::paintSelection(QPainter& painter, const Layout& l) const {
  if (m_selected.empty()) return;
  std::vector<QRect> rects;
  for (const std::size_t i : m_selected) {
    const auto [from, to] = bytesOf(i);
    if (from >= m_size) continue;
    for (std::int64_t row = from / m_perRow; row < kRows && row * m_perRow < to; ++row) {
      const std::int64_t a = std::max(from, row * m_perRow), b = std::min(to, (row + 1) * m_perRow);
      const int x0 = int(cellOf(a) % m_columns), x1 = int(cellOf(b - 1) % m_columns);
      rects.emplace_back(x0 - 1, l.top(int(row)) - 1, x1 - x0 + 3, l.height(int(row)) + 2);
    }
  }
  QRegion covered;
  for (const QRect& r : rects) covered += r.adjusted(0, -1, 0, 1);  // rows touching rows join
  QPainterPath outline;
  outline.addRegion(covered);
  outline = outline.simplified();
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(Qt::white, 4));
  painter.drawPath(outline);
  painter.setPen(QPen(QColor(255, 160, 0), 2));
  painter.drawPath(outline);
}

void SourceMapView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const int number = fragmentAt(event->position().toPoint());
  selectFragment(number);
  emit fragmentClicked(number);
}

bool SourceMapView::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = toolTipAt(help->pos());
    if (text.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(help->globalPos(), text, this);
    }
    return true;
  }
  return QWidget::event(event);
}

void SourceMapView::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) setAccessibleName(tr("源的分布图"));
  if (event->type() == QEvent::FontChange || event->type() == QEvent::LanguageChange) legendChanged();
  QWidget::changeEvent(event);
}

}  // namespace kestrix::widgets
