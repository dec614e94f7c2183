#pragma once
// The texts several parts of the window share: what a PST file holds, what the check of a
// file just written found, the save dialogs' filters, and where a save dialog starts.

#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "pst/repair.h"
#include "recover/evidence.h"
#include "recover/file_preview.h"
#include "scan/fragments.h"

class QTreeWidgetItem;
class QWidget;

namespace kestrix::app {

class UserDialogs;

class WindowTexts {
  Q_DECLARE_TR_FUNCTIONS(WindowTexts)

 public:
  static QString listEmpty();
  static QString pstFilter();       // PST files, then every file
  static QString fragmentFilter();  // what 恢复碎片 writes: sectors of the source, no PST
  static QString rebuildInputFilter();
  // Disk images: raw, and those kept in the containers that are read (E01, qcow2, VMDK, VHD,
  // VHDX), then every file (an image is known by its content, whatever its name).
  static QString imageFilter();
  // The size cells of the lists, as the engine writes them (SizeToText: "KB" of 1024 bytes,
  // hundredths cut off); list texts are compared and sorted as they are.
  static QString size(std::int64_t bytes);
  // A size in a message: binary units named as such and rounded, "1.50 MiB", "0 B".
  static QString byteSize(std::int64_t bytes);
  static QString sectorCount(const std::vector<scan::SectorRun>& runs);
  // What a reader finds in a PST file: "可读邮件 71/71, 文件夹 12 个".
  static QString mail(const pst::CheckReport& r);
  // What the check of a file found wrong, in a few words: "文件头已丢失; 邮件程序无法打开它";
  // "" for a sound file.
  static QString damage(const pst::CheckReport& r);
  // What the check of a file just written found, and what was done about it. rebuilt: the
  // bytes were put together by 重组 (else by 恢复文件).
  // whole: what the evidence proves of the file (恢复文件); a file that is not proved whole is
  // never called intact, however well it opens.
  static QString checked(const pst::CheckedOutput& c, bool rebuilt, bool whole = true);
  // What the evidence proves of a file put together from the source: whole, in part
  // inferred, or damaged, and why.
  static QString evidence(const rebuild::FileEvidence& e);
  // The FileList cell of a file once written: readable messages of all, "71/71".
  static QString mailCell(const pst::CheckedOutput& c, const rebuild::FileEvidence* e = nullptr);
  static QString stoppedNotWritten(const QString& path);
  // A file that is checked once written and repaired when damaged keeps the bytes as written
  // beside it, in rawPathFor(output): an existing file of that name is replaced only when the
  // user says so. True to go on.
  static bool confirmRawReplace(UserDialogs& dialogs, QWidget* parent, const QString& output);
  // The mark of a file that may mix two versions of some of its data, in the window's
  // language; fileListMissing puts it in place of the engine's own mark in the 缺少数据 cell.
  static QString twoVersions();
  // A file's stretches of IDs with more than one candidate fragment, a line each (at most
  // four): "ID 7-7 有 2 个候选碎片, 取了碎片 6".
  static QString conflicts(const std::vector<rebuild::IdConflict>& conflicts);
  // The 邮箱, 邮件 and 状态 cells of a FileList row: what the file's own index says before
  // anything is written; preview null for a stray piece of map pages, which is no mailbox.
  static void previewCells(QTreeWidgetItem* row, const rebuild::FilePreview* preview);
  // The 格式 cell: which Outlook wrote the file, as its layout tells.
  static void layoutCell(QTreeWidgetItem* row, pst::FileLayout layout);
  static QString fileListMissing(const std::string& cell);
};

// Where the save dialogs start: the folder the user last saved to (in any of them), with a
// suggested name that no file there has yet, so that the dialog's question before replacing
// comes only when the user picks an existing file on purpose.
class SaveFolder {
 public:
  // A path to start a save dialog at; fallback: the folder before the first save.
  QString suggest(const QString& name, const QString& fallback = {}) const;
  void remember(const QString& savedPath);

 private:
  QString m_folder;
};

}  // namespace kestrix::app
