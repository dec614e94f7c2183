#include "widgets/hit_list_model.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace kestrix::widgets {

namespace {

const char* const kColumns[] = {"Num", "Offset", "Sector", "ID", "CRC"};
constexpr int kIdColumn = 1, kSectorColumn = 2;

// The value CompareLeadingInteger takes from a cell's text: the text as a 32-bit integer.
std::int64_t sortKey(const scan::FoundPage& hit, int column) {
  if (column == kIdColumn) return hit.id;
  if (column == kSectorColumn) return hit.sector >= INT32_MIN && hit.sector <= INT32_MAX ? hit.sector : 0;
  return 0;  // an empty cell
}

}  // namespace

HitListModel::HitListModel(QObject* parent) : QAbstractTableModel(parent) {}

void HitListModel::setHits(std::shared_ptr<const scan::FoundPageList> hits) {
  beginResetModel();
  m_hits = std::move(hits);
  m_order.clear();
  endResetModel();
}

const scan::FoundPage& HitListModel::hitAt(int row) const {
  const auto at = std::size_t(row);
  return (*m_hits)[m_order.empty() ? at : m_order[at]];
}

int HitListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !m_hits) return 0;
  return int(std::min<std::size_t>(m_hits->size(), INT_MAX));
}

int HitListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant HitListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
  const scan::FoundPage& hit = hitAt(index.row());
  if (index.column() == kIdColumn) return QString::number(hit.id);
  if (index.column() == kSectorColumn) return QString::number(hit.sector);
  return QString();
}

QVariant HitListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 5) return {};
  return QString(kColumns[section]);
}

void HitListModel::sort(int column, Qt::SortOrder order) {
  if (!m_hits || column < 0 || column >= 5) return;
  beginResetModel();
  m_order.resize(std::size_t(rowCount()));
  std::iota(m_order.begin(), m_order.end(), std::size_t(0));
  const auto& hits = *m_hits;
  std::stable_sort(m_order.begin(), m_order.end(), [&](std::size_t a, std::size_t b) {
    const std::int64_t ka = sortKey(hits[a], column), kb = sortKey(hits[b], column);
    return order == Qt::AscendingOrder ? ka < kb : kb < ka;
  });
  endResetModel();
}

}  // namespace kestrix::widgets
