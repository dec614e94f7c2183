#include "app/fragment_texts.h"

#include <QLocale>
#include <QTreeWidgetItem>

#include <limits>
#include <optional>

#include "app/window_texts.h"
#include "format/map_page.h"
#include "scan/fragments.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

namespace {

struct PagePlace {
  std::int64_t id = 0, sector = 0;
};

// "ID - sector" as the 开始ID and 结束ID cells hold it.
std::optional<PagePlace> pagePlace(const QString& cell) {
  const scan::PagePos pos = scan::ParsePagePos(cell.toStdString());
  const auto id = scan::TextToInt64(pos.StartText), sector = scan::TextToInt64(pos.EndText);
  // Offsets are sector * 512: a sector past that range is not one a scan found.
  if (!id || !sector || *sector < 0 || *sector > std::numeric_limits<std::int64_t>::max() / std::int64_t(scan::kPageSize))
    return std::nullopt;
  return PagePlace{*id, *sector};
}

QString number(std::int64_t n) { return QLocale().toString(qlonglong(n)); }

// A byte offset as "1,048,576 字节 (1.00 MiB)": MiB of 1,048,576 bytes, rounded to hundredths.
QString offset(std::int64_t bytes) {
  return FragmentTexts::tr("%1 字节 (%2 MiB)").arg(number(bytes), QLocale().toString(double(bytes) / 1048576.0, 'f', 2));
}

}  // namespace

void FragmentTexts::explain(widgets::SortListView* list) {
  for (int c = 0; c < list->columnCount(); ++c) list->headerItem()->setToolTip(c, headerTip(c));
  list->setCellToolTip(&FragmentTexts::cellTip);
}

QString FragmentTexts::headerTip(int column) {
  switch (column) {
    case 0: return tr("碎片的编号, 按在数据源上的位置从 1 起");
    case 1: return tr("碎片的第一个映射页: 页 ID - 它在数据源上的扇区号 (每扇区 512 字节)");
    case 2: return tr("碎片的最后一个映射页的 ID - 碎片之后的第一个扇区号 (碎片在此结束)");
    case 3: return tr("碎片包含的映射区间数, 每个区间 253,952 字节");
    case 4: return tr("碎片以映射页 ID 0 开始时: 文件头声明的区间数 <文件大小>; 0: 碎片不是文件的开头");
    default: return {};
  }
}

QString FragmentTexts::cellTip(const QTreeWidgetItem* row, int column) {
  if (!row || row->text(column).isEmpty()) return {};
  const QString text = row->text(column);
  switch (column) {
    case 0:  // with what the scan said of its use (by no file, by two), when it said anything
      return tr("碎片 %1").arg(text) + (row->toolTip(0).isEmpty() ? QString() : "\n" + row->toolTip(0));
    case 1: {
      const auto p = pagePlace(text);
      if (!p) return {};
      return tr("映射页 ID %1 (PST 文件的映射区间从 0 起编号), 位于扇区 %2, 即数据源偏移 %3")
          .arg(p->id).arg(p->sector).arg(offset(p->sector * std::int64_t(scan::kPageSize)));
    }
    case 2: {
      const auto p = pagePlace(text);
      if (!p) return {};
      return tr("最后一个映射页 ID %1; 碎片在扇区 %2 之前结束 (最后一个映射页之后一个区间, 496 个扇区), 即数据源偏移 %3 之前")
          .arg(p->id).arg(p->sector).arg(offset(p->sector * std::int64_t(scan::kPageSize)));
    }
    case 3: {
      const auto n = scan::TextToInt64(text.toStdString());
      if (!n || *n < 0 || *n > std::numeric_limits<std::int64_t>::max() / scan::kIntervalBytes) return {};
      return tr("%1 个映射区间, 共 %2 字节 (%3)")
          .arg(number(*n), number(*n * scan::kIntervalBytes), WindowTexts::byteSize(*n * scan::kIntervalBytes));
    }
    case 4:
      if (text == "0") return tr("0: 碎片的第一个映射页 ID 不是 0, 它不是文件的开头");
      if (text.startsWith("0 <")) return tr("碎片从映射页 ID 0 开始, 但它之前 34 个扇区处没有可读的 PST 文件头");
      return tr("碎片是一个文件的开头: 文件头声明 %1 个区间, <> 中是文件头记录的文件大小 (以 1024 进位, 不足 0.01 的部分舍去)")
          .arg(text.section(' ', 0, 0));
    default: return {};
  }
}

QString FragmentTexts::place(const QTreeWidgetItem* row) {
  if (!row) return {};
  const auto first = pagePlace(row->text(1)), end = pagePlace(row->text(2));
  if (!first || !end) return {};
  return tr("碎片 %1: 数据源偏移 %2 起, 到 %3 之前")
      .arg(row->text(0), offset(first->sector * std::int64_t(scan::kPageSize)),
           offset(end->sector * std::int64_t(scan::kPageSize)));
}

}  // namespace kestrix::app
