#pragma once
// The map of the source in the window, as disk tools draw one: the whole source as a band of
// rows, each fragment drawn where it lies and coloured by the file that uses it, fragments
// used by two or more files or by none marked, unreadable sectors and stretches that held only
// zeros marked. It draws what the engine's SVG map draws, with the same rows and colours.
//
// During a scan it shows what has been read and the map pages found so far; once the
// fragments are known they replace the pages. Painting costs O(pixels): whenever the data or
// the width change, the fragments are folded into one cell per pixel column of each row,
// holding what is drawn there. A cell that several fragments touch shows the one that covers
// most of its bytes (the first on a tie), so every fragment is at least a pixel wide.

#include <QWidget>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "scan/fragments.h"
#include "scan/scan.h"

namespace kestrix::widgets {

class SourceMapView : public QWidget {
  Q_OBJECT
 public:
  // What a cell shows, above the source itself.
  enum class Mark : std::uint8_t {
    None,        // outside the source
    Unread,      // not read yet by the scan in progress
    Source,      // read, or no scan in progress; nothing found there
    Zeros,       // held only zeros
    Hit,         // a map page found by the scan in progress
    File,        // a fragment that one file uses
    Shared,      // a fragment that two or more files use
    Unused,      // a fragment that no file uses
    Unreadable,  // holds sectors that could not be read
  };

  explicit SourceMapView(QWidget* parent = nullptr);
  ~SourceMapView() override;

  // A new source of this many bytes: clears the scan, the results and the selection.
  void setSource(std::int64_t bytes);
  // The scan in progress has read the source up to this byte.
  void setScanned(std::int64_t bytesRead);
  // Map pages the scan in progress found, by sector (512 bytes).
  void addHits(std::span<const std::int64_t> sectors);
  // The results of a scan, replacing the pages found so far. fragments: numbered from 1, in
  // sector order; filesOfFragment: the numbers of the files using each fragment (index =
  // fragment number - 1, as rebuild::filesOfFragments gives them); unreadable: sector runs;
  // zeros may be null. The view keeps the fragments and the zero map; the rest is copied.
  void setResults(std::shared_ptr<const std::vector<scan::Fragment>> fragments,
                  std::span<const std::vector<std::int32_t>> filesOfFragment,
                  std::span<const scan::SectorRun> unreadable, std::shared_ptr<const scan::ZeroMap> zeros);

  std::int64_t sourceSize() const { return m_size; }
  int selectedFragment() const { return m_selectedFragment; }
  int selectedFile() const { return m_selectedFile; }

  // What lies under a point of the widget: the fragment's number (0 for none), the mark
  // drawn there, and the tooltip (empty where no fragment lies).
  int fragmentAt(QPoint point) const;
  Mark markAt(QPoint point) const;
  QString toolTipAt(QPoint point) const;
  // The cell that shows a byte of the source (empty for a byte outside it).
  QRect byteRect(std::int64_t byte) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 public slots:
  // Outlines one fragment, or every fragment of one file; 0 clears the outline.
  void selectFragment(int fragmentNumber);
  void selectFile(int fileNumber);

 signals:
  // A click on the map: the fragment under it, 0 on empty space.
  void fragmentClicked(int fragmentNumber);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Layout;
  struct LegendEntry;
  Layout layout() const;
  std::vector<LegendEntry> legend() const;
  int legendHeight(int width) const;
  void legendChanged();
  // The cell under a point, -1 outside the rows.
  std::int64_t cellAt(QPoint point) const;
  // The first byte that a cell shows (it shows at least one, up to the next cell's first), and
  // the first cell that shows a byte.
  std::int64_t cellStart(std::int64_t cell) const;
  std::int64_t cellOf(std::int64_t byte) const;
  // Bytes [from, to) of fragment i, at least one byte long.
  std::pair<std::int64_t, std::int64_t> bytesOf(std::size_t index) const;
  std::span<const std::int32_t> filesOf(std::size_t index) const;
  // The fragment drawn in cell c: index + 1, 0 for none.
  std::size_t fragmentInCell(std::int64_t cell) const;
  Mark markOf(std::int64_t cell) const;
  Mark fragmentMark(std::size_t index) const;
  QRgb colourOf(Mark mark, std::int32_t file) const;
  void fold();
  void markHits(std::int64_t from, std::int64_t to);
  void paintSelection(QPainter& painter, const Layout& layout) const;

  std::int64_t m_size = 0;
  std::int64_t m_scanned = -1;  // -1: no scan in progress
  std::vector<bool> m_hitStretches;  // kHitStretches a row, empty before the first page
  std::shared_ptr<const std::vector<scan::Fragment>> m_fragments;
  // The files of fragment i: m_files[m_fileStart[i] .. m_fileStart[i + 1]).
  std::vector<std::uint32_t> m_fileStart;
  std::vector<std::int32_t> m_files;
  std::vector<scan::SectorRun> m_unreadable;
  std::shared_ptr<const scan::ZeroMap> m_zeros;
  int m_selectedFragment = 0;
  int m_selectedFile = 0;
  std::vector<std::size_t> m_selected;  // fragment indices outlined
  mutable int m_legendWidth = -1;  // the width m_legendHeight was measured at, -1 for none
  mutable int m_legendHeight = 0;

  // The fold: kMapRows rows of m_columns cells, each row m_perRow bytes.
  int m_columns = 0;
  std::int64_t m_perRow = 1;
  std::vector<Mark> m_marks;
  std::vector<std::int32_t> m_cellFile;  // the file whose colour a File or Shared cell has
};

}  // namespace kestrix::widgets
