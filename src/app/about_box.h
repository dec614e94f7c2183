#pragma once
// The About box: what the program is for, the maker's name and, where the build names one,
// the maker's web address.

#include <QDialog>

class QLabel;

namespace kestrix::app {

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  // caption: the main window's caption, copied once.
  AboutBox(const QString& caption, QWidget* parent);

  // Opens the maker's web address with the desktop's default program (none: nothing).
  void Label3Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* m_label3 = nullptr;
};

// The program's icon, 48 x 48, drawn (no picture file to ship).
QPixmap programIcon(int size = 48);

}  // namespace kestrix::app
