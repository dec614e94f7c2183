#include "app/disk_access.h"

#include <unistd.h>

#include <cerrno>

#include "scan/errors.h"
#include "sources/catalogue.h"

namespace kestrix::app {

QString sourceErrorText(const std::exception& e) {
  QString text = QString::fromUtf8(e.what());
  const auto* refused = dynamic_cast<const SourceOpenError*>(&e);
  if (!refused || (refused->error() != EACCES && refused->error() != EPERM) || !sources::isDevicePath(refused->path()))
    return text;
  if (::geteuid() == 0)
    return text + "\n即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或容器的设备规则）。";
  text += "\n读取磁盘和分区需要管理员权限：在应用程序菜单中右键单击 Kestrix，选择“以管理员身份运行”"
          "（或在终端中运行 sudo kestrix）。";
  const std::string group = sources::readerGroupOf(refused->path());
  if (!group.empty())
    text += QString("也可以把用户加入 \"%1\" 组，重新登录后即可读取。").arg(QString::fromStdString(group));
  return text + "\n打开磁盘镜像文件不需要这些权限。";
}

}  // namespace kestrix::app
