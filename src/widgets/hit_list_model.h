#pragma once
// The found-page list of the last scan as the window's hidden view `list` shows it: one row per
// hit, the columns Num, Offset, Sector, ID and CRC holding the found-page list's texts for a
// hit ("", its ID, its sector, "", ""). The model keeps the hits themselves, 16 bytes each, and
// makes a row's texts only when the view asks for them; sorted, it adds one index per hit.

#include <QAbstractTableModel>

#include <cstddef>
#include <memory>
#include <vector>

#include "scan/scan.h"

namespace kestrix::widgets {

class HitListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit HitListModel(QObject* parent = nullptr);

  // Shows these hits in scan order; null or empty shows none.
  void setHits(std::shared_ptr<const scan::FoundPageList> hits);
  void clear() { setHits(nullptr); }
  // The hit shown in a row (after sorting, the sorted order).
  const scan::FoundPage& hitAt(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  // As the list views sort `list` (rebuild::CompareLeadingInteger): each cell's text as a
  // 32-bit integer, 0 where it is empty or out of that range; equal rows keep their order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  std::shared_ptr<const scan::FoundPageList> m_hits;
  std::vector<std::size_t> m_order;  // row -> hit; empty while in scan order
};

}  // namespace kestrix::widgets
