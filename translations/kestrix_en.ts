<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>DiskAccess</name>
    <message>
        <source>即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或容器的设备规则）。</source>
        <translation>It cannot be read even as administrator: the system keeps this device from being read (a security policy or the device rules of a container).</translation>
    </message>
    <message>
        <source>读取磁盘和分区需要管理员权限：在应用程序菜单中右键单击 Kestrix，选择“以管理员身份运行”（或在终端中运行 sudo kestrix）。</source>
        <translation>Reading disks and partitions needs administrator rights: right-click Kestrix in the applications menu and choose &quot;Run as administrator&quot; (or run sudo kestrix in a terminal).</translation>
    </message>
    <message>
        <source>也可以把用户加入 &quot;%1&quot; 组，重新登录后即可读取。</source>
        <translation> You can also add your user to the group &quot;%1&quot; and log in again.</translation>
    </message>
    <message>
        <source>即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或另一个程序独占了它）。</source>
        <translation>It cannot be read even as administrator: the system keeps this device from being read (a security policy, or another program holds it for itself).</translation>
    </message>
    <message>
        <source>读取磁盘和分区需要管理员权限：关闭 Kestrix，在资源管理器中右键单击 kestrix.exe，选择“以管理员身份运行”。</source>
        <translation>Reading disks and partitions needs administrator rights: close Kestrix, right-click kestrix.exe in Explorer and choose "Run as administrator".</translation>
    </message>
    <message>
        <source>打开磁盘镜像文件不需要这些权限。</source>
        <translation>Opening a disk image file needs none of these rights.</translation>
    </message>
</context>
<context>
    <name>FragmentTexts</name>
    <message>
        <source>%1 字节 (%2 MiB)</source>
        <translation>%1 bytes (%2 MiB)</translation>
    </message>
    <message>
        <source>碎片的编号, 按在数据源上的位置从 1 起</source>
        <translation>The fragment&apos;s number, from 1 in the order of its place on the source</translation>
    </message>
    <message>
        <source>碎片的第一个映射页: 页 ID - 它在数据源上的扇区号 (每扇区 512 字节)</source>
        <translation>The fragment&apos;s first map page: page ID - its sector on the source (512 bytes a sector)</translation>
    </message>
    <message>
        <source>碎片的最后一个映射页的 ID - 碎片之后的第一个扇区号 (碎片在此结束)</source>
        <translation>The ID of the fragment&apos;s last map page - the first sector after the fragment (where it ends)</translation>
    </message>
    <message>
        <source>碎片包含的映射区间数, 每个区间 253,952 字节</source>
        <translation>The number of map intervals in the fragment, 253,952 bytes each</translation>
    </message>
    <message>
        <source>碎片以映射页 ID 0 开始时: 文件头声明的区间数 &lt;文件大小&gt;; 0: 碎片不是文件的开头</source>
        <translation>For a fragment that starts with map page ID 0: the intervals its file header declares &lt;file size&gt;; 0: the fragment does not start a file</translation>
    </message>
    <message>
        <source>碎片 %1</source>
        <translation>Fragment %1</translation>
    </message>
    <message>
        <source>映射页 ID %1 (PST 文件的映射区间从 0 起编号), 位于扇区 %2, 即数据源偏移 %3</source>
        <translation>Map page ID %1 (a PST file&apos;s map intervals are numbered from 0), at sector %2, that is at source offset %3</translation>
    </message>
    <message>
        <source>最后一个映射页 ID %1; 碎片在扇区 %2 之前结束 (最后一个映射页之后一个区间, 496 个扇区), 即数据源偏移 %3 之前</source>
        <translation>Last map page ID %1; the fragment ends before sector %2 (one interval, 496 sectors, after its last map page), that is before source offset %3</translation>
    </message>
    <message>
        <source>0: 碎片的第一个映射页 ID 不是 0, 它不是文件的开头</source>
        <translation>0: the fragment&apos;s first map page ID is not 0, so it does not start a file</translation>
    </message>
    <message>
        <source>碎片从映射页 ID 0 开始, 但它之前 34 个扇区处没有可读的 PST 文件头</source>
        <translation>The fragment starts with map page ID 0, but 34 sectors before it there is no readable PST file header</translation>
    </message>
    <message>
        <source>碎片是一个文件的开头: 文件头声明 %1 个区间, &lt;&gt; 中是文件头记录的文件大小 (以 1024 进位, 不足 0.01 的部分舍去)</source>
        <translation>The fragment starts a file: its header declares %1 intervals; in &lt;&gt; the file size the header records (units of 1024, hundredths cut off, not rounded)</translation>
    </message>
    <message>
        <source>碎片 %1: 数据源偏移 %2 起, 到 %3 之前</source>
        <translation>Fragment %1: source offset %2 up to %3</translation>
    </message>
    <message>
        <source>%1 个映射区间, 共 %2 字节 (%3)</source>
        <translation>%1 map intervals, %2 bytes (%3) in all</translation>
    </message>
</context>
<context>
    <name>MainWindowLayout</name>
    <message>
        <source>碎片数量: </source>
        <translation>Fragments: </translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>开始ID</source>
        <translation>First ID</translation>
    </message>
    <message>
        <source>结束ID</source>
        <translation>Last ID</translation>
    </message>
    <message>
        <source>碎片大小</source>
        <translation>Fragment size</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>File size</translation>
    </message>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>缺少数据</source>
        <translation>Missing data</translation>
    </message>
    <message>
        <source>碎片</source>
        <translation>Fragments</translation>
    </message>
    <message>
        <source>可读邮件</source>
        <translation>Readable mail</translation>
    </message>
    <message>
        <source>数据</source>
        <translation>Data</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>Files</translation>
    </message>
    <message>
        <source>1. 路径</source>
        <translation>1. Source</translation>
    </message>
    <message>
        <source>2. 重组</source>
        <translation>2. Rebuild</translation>
    </message>
    <message>
        <source>3. 修复</source>
        <translation>3. Repair</translation>
    </message>
    <message>
        <source>4. 手工</source>
        <translation>4. Manual</translation>
    </message>
    <message>
        <source>数据源:</source>
        <translation>Source:</translation>
    </message>
    <message>
        <source>右键选择数据源…</source>
        <translation>Right-click to choose a source…</translation>
    </message>
    <message>
        <source>浏览…</source>
        <translation>Browse…</translation>
    </message>
    <message>
        <source>仅扫描剩余空间</source>
        <translation>Scan free space only</translation>
    </message>
    <message>
        <source>输出数据列表</source>
        <translation>Export the data list</translation>
    </message>
    <message>
        <source>恢复</source>
        <translation>Scan</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>路径</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>重组</source>
        <translation>Rebuild</translation>
    </message>
    <message>
        <source>修复软件:</source>
        <translation>Repair program:</translation>
    </message>
    <message>
        <source>添加修复软件</source>
        <translation>Add repair program</translation>
    </message>
    <message>
        <source>修复PST文件</source>
        <translation>Repair PST file</translation>
    </message>
    <message>
        <source>建议安装outlook, 并且使用scanpst.exe程序修复pst文件!</source>
        <translation>We suggest installing Outlook and repairing the PST file with scanpst.exe!</translation>
    </message>
    <message>
        <source>在碎片列表中按 d: 收入选中的碎片并移到下一行; 按 u: 收入并移到上一行. 右键: 清空或恢复碎片</source>
        <translation>In the fragment list, press d to take the selected fragment and move to the next row, or u to take it and move to the row above. Right-click to clear or recover the fragments.</translation>
    </message>
    <message>
        <source>恢复所选文件到文件夹…</source>
        <translation>Recover ticked files to a folder…</translation>
    </message>
    <message>
        <source>把 文件 列表中勾选的文件写入一个文件夹, 并写入报告</source>
        <translation>Write the files ticked in the Files list into a folder, with a report</translation>
    </message>
    <message>
        <source>输入镜像文件或设备的路径并按回车; 右键单击 (或 Shift+F10) 选择磁盘或分区</source>
        <translation>Type the path of an image file or a device and press Enter; right-click (or Shift+F10) to choose a disk or partition</translation>
    </message>
    <message>
        <source>打开磁盘镜像文件 (Ctrl+O)</source>
        <translation>Open a disk image file (Ctrl+O)</translation>
    </message>
    <message>
        <source>邮箱</source>
        <translation>Mailbox</translation>
    </message>
    <message>
        <source>邮件</source>
        <translation>Messages</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>格式</source>
        <translation>Format</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>文件或文件夹不存在</source>
        <translation>no such file or folder</translation>
    </message>
    <message>
        <source>没有权限</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>no space left on the disk</translation>
    </message>
    <message>
        <source>超出磁盘配额</source>
        <translation>disk quota exceeded</translation>
    </message>
    <message>
        <source>输入/输出错误（介质可能已损坏）</source>
        <translation>input/output error (the medium may be damaged)</translation>
    </message>
    <message>
        <source>这是一个文件夹</source>
        <translation>it is a folder</translation>
    </message>
    <message>
        <source>路径中的某一部分不是文件夹</source>
        <translation>a part of the path is not a folder</translation>
    </message>
    <message>
        <source>文件系统是只读的</source>
        <translation>the file system is read-only</translation>
    </message>
    <message>
        <source>设备不存在</source>
        <translation>no such device</translation>
    </message>
    <message>
        <source>设备或资源正忙</source>
        <translation>the device or resource is busy</translation>
    </message>
    <message>
        <source>文件太大</source>
        <translation>the file is too large</translation>
    </message>
    <message>
        <source>文件名太长</source>
        <translation>the file name is too long</translation>
    </message>
    <message>
        <source>符号链接层次太多</source>
        <translation>too many levels of symbolic links</translation>
    </message>
    <message>
        <source>文件已存在</source>
        <translation>the file exists already</translation>
    </message>
    <message>
        <source>无法打开文件 &quot;%1&quot;：%2</source>
        <translation>Cannot open file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>管道</source>
        <translation>a pipe</translation>
    </message>
    <message>
        <source>套接字</source>
        <translation>a socket</translation>
    </message>
    <message>
        <source>没有长度的字符设备</source>
        <translation>a character device without a length</translation>
    </message>
    <message>
        <source>无法把 &quot;%1&quot; 作为数据源读取：它是%2，不能按位置读取。请先把它的数据保存为文件，再选择该文件。</source>
        <translation>Cannot read &quot;%1&quot; as a source: it is %2, which cannot be read by offset. Save its data to a file and choose that file.</translation>
    </message>
    <message>
        <source>无法读取文件 &quot;%1&quot;（第 %2 字节）：%3</source>
        <translation>Cannot read file &quot;%1&quot; at byte %2: %3</translation>
    </message>
    <message>
        <source>数据提前结束（文件被截断）</source>
        <translation>the data ends early (truncated)</translation>
    </message>
    <message>
        <source>无法创建文件 &quot;%1&quot;：%2</source>
        <translation>Cannot create file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：%2</source>
        <translation>Cannot write file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;（第 %2 字节）：%3</source>
        <translation>Cannot write file &quot;%1&quot; at byte %2: %3</translation>
    </message>
    <message>
        <source>无法写入 &quot;%1&quot;：这是文件夹的名称，不是文件。</source>
        <translation>Cannot write &quot;%1&quot;: it names a folder, not a file.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它就是输入文件 &quot;%2&quot;。请选择另一个输出文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is the input &quot;%2&quot; itself. Choose another output file.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它位于数据源 &quot;%2&quot; 上，会覆盖待恢复的数据。请选择其他磁盘上的文件夹。</source>
        <translation>Cannot write file &quot;%1&quot;: it lies on the source &quot;%2&quot; and would overwrite the data to recover. Choose a folder on another disk.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它将有 %2，超过该文件系统允许的最大文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it would be %2, more than the largest file its file system allows.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：需要 %2 磁盘空间，但那里只有 %3 可用。</source>
        <translation>Cannot write file &quot;%1&quot;: it needs %2 of disk space, but only %3 is free there.</translation>
    </message>
    <message>
        <source>它是空的</source>
        <translation>it is empty</translation>
    </message>
    <message>
        <source>它比一个映射区间还短（%1 字节，一个区间为 %2 字节）</source>
        <translation>it is shorter than one map interval (%1 of %2 bytes)</translation>
    </message>
    <message>
        <source>它本身就是 PST 文件，而不是“恢复碎片”写出的映射区间文件</source>
        <translation>it is a PST file itself, not a file of map intervals such as Recover fragments writes</translation>
    </message>
    <message>
        <source>其中没有以分配映射页开头的 %1 字节区块；它不是“恢复碎片”写出的映射区间文件</source>
        <translation>no block of %1 bytes in it begins with an allocation-map page; it is not a file of map intervals such as Recover fragments writes</translation>
    </message>
    <message>
        <source>没有从 &quot;%1&quot; 重组出任何内容：%2</source>
        <translation>Nothing was rebuilt from &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法修复文件 &quot;%1&quot;：其中没有 PST 结构（既没有自己的文件头，也没有索引页）。</source>
        <translation>Cannot repair file &quot;%1&quot;: it holds no PST structure (no header of its own and no index page).</translation>
    </message>
    <message>
        <source>无法将文件 &quot;%1&quot; 的长度设为 %2 字节：%3</source>
        <translation>Cannot set the length of file &quot;%1&quot; to %2 bytes: %3</translation>
    </message>
    <message>
        <source>无法创建文件夹 &quot;%1&quot;：%2</source>
        <translation>Cannot create folder &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件夹 &quot;%1&quot;：它不是文件夹。</source>
        <translation>Cannot write into folder &quot;%1&quot;: it is not a folder.</translation>
    </message>
    <message>
        <source>无法写入文件夹 &quot;%1&quot;：另一个 Kestrix 正在写入这个文件夹，请等它完成，或选择别的文件夹。</source>
        <translation>Cannot write into folder &quot;%1&quot;: another run of Kestrix is writing into it. Wait until it has finished, or choose another folder.</translation>
    </message>
    <message>
        <source>无法写入文件夹 &quot;%1&quot;：%2</source>
        <translation>Cannot write into folder &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>内存不足，无法完成操作。</source>
        <translation>There is not enough memory to finish the task.</translation>
    </message>
    <message>
        <source>内存不足，无法处理 &quot;%1&quot;。</source>
        <translation>There is not enough memory to finish with &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>无法访问 &quot;%1&quot;：%2</source>
        <translation>Cannot access &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>处理 &quot;%1&quot; 时出错：%2</source>
        <translation>Failed on &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件夹 &quot;%1&quot;：其中有一个不是 Kestrix 创建的 .kestrix-lock 文件，请将它移走，或选择别的文件夹。</source>
        <translation>Cannot write into folder &quot;%1&quot;: a file named .kestrix-lock that Kestrix did not make stands in it. Move it away, or choose another folder.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它的文件夹 &quot;%2&quot; 属于系统（设备、内核文件），结果只写入普通文件夹。</source>
        <translation>Cannot write file &quot;%1&quot;: its folder &quot;%2&quot; belongs to the system (devices, kernel files); results are written into ordinary folders only.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它的文件夹位于从 &quot;%3&quot; 挂载的 FUSE 文件系统上，无法确定其数据存放在哪里，可能就是数据源 &quot;%2&quot;。请选择其他文件系统上的文件夹。</source>
        <translation>Cannot write file &quot;%1&quot;: its folder lies on a FUSE file system mounted from &quot;%3&quot;, which does not say where it keeps its data: it may be the source &quot;%2&quot;. Choose a folder on another file system.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它也是输出文件 &quot;%2&quot;。请为每个输出指定不同的文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is the output &quot;%2&quot; too. Give each output its own file.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：%2。本次没有写入任何文件，所有文件保持原样。</source>
        <translation>Cannot write file &quot;%1&quot;: %2. No file of the run was put in place; every file is as it was.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：%2。以下文件已写入且无法恢复原样：%3；其他文件保持原样。</source>
        <translation>Cannot write file &quot;%1&quot;: %2. These files of the run are in place and could not be put back as they were: %3; the others are as they were.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它是数据源 &quot;%2&quot;（回环设备）背后的文件，会覆盖待恢复的数据。请选择另一个输出文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is the file behind the source &quot;%2&quot; (a loop device), whose data it would overwrite. Choose another output file.</translation>
    </message>
    <message>
        <source>文件夹</source>
        <translation>a folder</translation>
    </message>
    <message>
        <source>命名管道</source>
        <translation>a named pipe</translation>
    </message>
    <message>
        <source>设备</source>
        <translation>a device</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：那里是%2，结果只写入普通文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is %2; results are written to regular files only.</translation>
    </message>
    <message>
        <source>无法修复文件 &quot;%1&quot;：它是未知版本的 PST，无法读取。</source>
        <translation>Cannot repair file &quot;%1&quot;: it is a PST of an unknown version, which cannot be read.</translation>
    </message>
    <message>
        <source>无法修复文件 &quot;%1&quot;：修复后的文件会超出 ANSI 格式的限制（32 位编号和偏移，文件小于 2 GB），没有写入任何文件。</source>
        <translation>Cannot repair file &quot;%1&quot;: the repaired file would pass the limits of the ANSI layout (32-bit IDs and offsets, files below 2 GB); no file was written.</translation>
    </message>
    <message>
        <source>无法把 &quot;%1&quot; 作为 %2 镜像读取：%3</source>
        <translation>Cannot read &quot;%1&quot; as a %2 image: %3</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它是正在读取的镜像 &quot;%2&quot; 的文件之一。请选择另一个输出文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is one of the files of the image &quot;%2&quot;, which is being read. Choose another output file.</translation>
    </message>
</context>
<context>
    <name>RecoverFilesController</name>
    <message>
        <source>数据源: &quot;%1&quot;</source>
        <translation>Source: &quot;%1&quot;</translation>
    </message>
    <message>
        <source>文件夹: &quot;%1&quot;</source>
        <translation>Folder: &quot;%1&quot;</translation>
    </message>
    <message>
        <source>
缺少 %1 个区间 (已留为零)</source>
        <translation>
%1 intervals missing (left as zeros)</translation>
    </message>
    <message>
        <source>
%1: 未写入: %2</source>
        <translation>
%1: not written: %2</translation>
    </message>
    <message>
        <source>
报告: report.xml (每个字节的来源), map.svg (数据源上的碎片), %1 (本摘要)</source>
        <translation>
Report: report.xml (where each byte came from), map.svg (the fragments on the source), %1 (this summary)</translation>
    </message>
    <message>
        <source>
%1: 文件可能混有两个版本
%2</source>
        <translation>
%1: the file may mix two versions
%2</translation>
    </message>
</context>
<context>
    <name>RemainingTime</name>
    <message>
        <source>剩余时间: </source>
        <translation>Time remaining: </translation>
    </message>
    <message>
        <source>剩余时间: %1</source>
        <translation>Time remaining: %1</translation>
    </message>
</context>
<context>
    <name>WindowTexts</name>
    <message>
        <source>列表为空!</source>
        <translation>The list is empty!</translation>
    </message>
    <message>
        <source>PST 文件 (*.pst *.PST)</source>
        <translation>PST files (*.pst *.PST)</translation>
    </message>
    <message>
        <source>所有文件 (*)</source>
        <translation>All files (*)</translation>
    </message>
    <message>
        <source>碎片文件 (*.bin)</source>
        <translation>Fragment files (*.bin)</translation>
    </message>
    <message>
        <source>碎片或 PST 文件 (*.bin *.pst *.PST)</source>
        <translation>Fragment or PST files (*.bin *.pst *.PST)</translation>
    </message>
    <message>
        <source>可读邮件 %1/%2, 文件夹 %3 个</source>
        <translation>readable messages %1/%2, %3 folders</translation>
    </message>
    <message>
        <source>文件已修复, %1
重组出的原始文件保存在 &quot;%2&quot;</source>
        <translation>The file was repaired, %1
The file as rebuilt is kept as &quot;%2&quot;</translation>
    </message>
    <message>
        <source>文件已修复, %1
拼合出的原始文件保存在 &quot;%2&quot;</source>
        <translation>The file was repaired, %1
The file as put together is kept as &quot;%2&quot;</translation>
    </message>
    <message>
        <source>文件完好, </source>
        <translation>The file is sound, </translation>
    </message>
    <message>
        <source>其中没有PST结构</source>
        <translation>it holds no PST structure</translation>
    </message>
    <message>
        <source>文件已损坏, 未能修复 (%1)
按写入的原样保存在 &quot;%2&quot;, 原有的文件没有被替换</source>
        <translation>The file is damaged and was not repaired (%1)
kept as written in &quot;%2&quot;; the file that stood there was not replaced</translation>
    </message>
    <message>
        <source>文件已损坏, 未能修复 (%1), 已按写入的原样保存</source>
        <translation>The file is damaged and could not be repaired (%1); it is kept as written</translation>
    </message>
    <message>
        <source> 已修复</source>
        <translation> repaired</translation>
    </message>
    <message>
        <source> 已损坏</source>
        <translation> damaged</translation>
    </message>
    <message>
        <source>已停止: 未写入 &quot;%1&quot; (同名的原有文件保持不变)</source>
        <translation>Stopped: &quot;%1&quot; was not written (an existing file of that name is left unchanged)</translation>
    </message>
    <message>
        <source>两个版本</source>
        <translation>two versions</translation>
    </message>
    <message>
        <source>无法写入修复后的副本: %1</source>
        <translation>no repaired copy can be written: %1</translation>
    </message>
    <message>
        <source>修复失败: %1</source>
        <translation>the repair failed: %1</translation>
    </message>
    <message>
        <source>文件可以打开, </source>
        <translation>The file opens, </translation>
    </message>
    <message>
        <source> 部分推断</source>
        <translation> partly inferred</translation>
    </message>
    <message>
        <source> 不完整</source>
        <translation> incomplete</translation>
    </message>
    <message>
        <source>证据: 完整, 每个索引页和块都在其位置上得到验证</source>
        <translation>Evidence: whole, every index page and block proved at its place</translation>
    </message>
    <message>
        <source>文件头已丢失, 已按文件内容重建</source>
        <translation>the header was lost, one was built from the file&apos;s content</translation>
    </message>
    <message>
        <source>没有自己的文件头</source>
        <translation>no header of its own</translation>
    </message>
    <message>
        <source>缺少 %1/%2 个块</source>
        <translation>%1 of %2 blocks missing</translation>
    </message>
    <message>
        <source>%1 个块未经验证: 按映射页的位置保留, 或仅凭 CRC 从各处的簇拼合</source>
        <translation>%1 blocks unproved: kept where the map pages put them, or put together from clusters their CRC alone ties to them</translation>
    </message>
    <message>
        <source>%1 个缺少的块有两组不同的碎片同样吻合, 均未采用</source>
        <translation>%1 missing blocks that two different sets of pieces fit equally; neither was taken</translation>
    </message>
    <message>
        <source>缺少 %1 个索引页</source>
        <translation>%1 index pages missing</translation>
    </message>
    <message>
        <source>%1 个缺少的索引页有两组不同的碎片同样吻合, 均未采用</source>
        <translation>%1 missing index pages that two different sets of pieces fit equally; neither was taken</translation>
    </message>
    <message>
        <source>%1 个索引页未经验证: 仅凭 CRC 从多处碎片拼合</source>
        <translation>%1 index pages unproved: put together from pieces their CRC alone ties together</translation>
    </message>
    <message>
        <source>数据源上有比所用索引更新的索引</source>
        <translation>a newer index than the one used lies on the source</translation>
    </message>
    <message>
        <source>%1 个无法读取的扇区已写为零</source>
        <translation>%1 unreadable sectors written as zeros</translation>
    </message>
    <message>
        <source>部分区间在数据源上有两个版本</source>
        <translation>some intervals have two versions on the source</translation>
    </message>
    <message>
        <source>写入的索引无法完整打开</source>
        <translation>the index as written does not open whole</translation>
    </message>
    <message>
        <source>证据: 部分为推断: %1</source>
        <translation>Evidence: partly inferred: %1</translation>
    </message>
    <message>
        <source>证据: 不完整: %1</source>
        <translation>Evidence: incomplete: %1</translation>
    </message>
    <message>
        <source>; </source>
        <translation>; </translation>
    </message>
    <message>
        <source>%1 个块不确定: 另一个文件有同一 ID 的不同块</source>
        <translation>%1 blocks uncertain: another file holds a different block of the same ID</translation>
    </message>
    <message>
        <source>%1 个块仅凭 CRC 从多处拼合 (尝试 %2 次, 出错的可能至多为 %3 分之一)</source>
        <translation>%1 blocks put together from pieces by their CRC alone (%2 placements tried: a chance of up to 1 in %3 that one is false)</translation>
    </message>
    <message>
        <source>文件头已丢失</source>
        <translation>the header was lost</translation>
    </message>
    <message>
        <source>文件头的校验和不符</source>
        <translation>the header fails its checksum</translation>
    </message>
    <message>
        <source>文件头属于另一个文件</source>
        <translation>the header belongs to another file</translation>
    </message>
    <message>
        <source>索引已损坏</source>
        <translation>the index is damaged</translation>
    </message>
    <message>
        <source>缺少 %1 个块</source>
        <translation>%1 blocks missing</translation>
    </message>
    <message>
        <source>%1 个块的校验和不符</source>
        <translation>%1 blocks fail their checksum</translation>
    </message>
    <message>
        <source>%1 个分配表页已丢失</source>
        <translation>%1 allocation map pages lost</translation>
    </message>
    <message>
        <source>邮件程序无法打开它</source>
        <translation>no mail program could open it</translation>
    </message>
    <message>
        <source>部分邮件或文件夹无法读取</source>
        <translation>some messages or folders cannot be read</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 已存在. 如果写入的文件需要修复, 按写入原样保存的字节将替换它. 继续吗?</source>
        <translation>&quot;%1&quot; exists already. If the file written needs a repair, the bytes as written will replace it. Go on?</translation>
    </message>
    <message>
        <source>零散的映射页</source>
        <translation>stray map pages</translation>
    </message>
    <message>
        <source>没有自己的文件头, 只有一个区间或几个挨在一起的映射页: 不是邮箱</source>
        <translation>No header of its own, one interval or map pages side by side: not a mailbox</translation>
    </message>
    <message>
        <source>文件的索引中没有找到邮箱的名称和文件夹</source>
        <translation>The file&apos;s index names no mailbox and no folders</translation>
    </message>
    <message>
        <source>文件的索引列出的邮件数 (写入前读取; 写入并检查后, 可读邮件 一列给出能读的数量)</source>
        <translation>Messages the file&apos;s index lists (read before writing; once written and checked, Readable mail gives how many can be read)</translation>
    </message>
    <message>
        <source>区间齐全</source>
        <translation>all intervals</translation>
    </message>
    <message>
        <source>不确定</source>
        <translation>uncertain</translation>
    </message>
    <message>
        <source>已损坏</source>
        <translation>damaged</translation>
    </message>
    <message>
        <source>每个区间都找到了, 文件头和索引都可读. 写入并检查后才能证明它完整</source>
        <translation>Every interval was found, the header and the index can be read. Only once written and checked can it be proved whole</translation>
    </message>
    <message>
        <source>ID %1-%2 有 %3 个候选碎片, 取了碎片 %4</source>
        <translation>IDs %1-%2 have %3 candidate fragments; fragment %4 was taken</translation>
    </message>
    <message>
        <source>ANSI PST</source>
        <translation>ANSI PST</translation>
    </message>
    <message>
        <source>OST (4 KiB 页)</source>
        <translation>OST (4 KiB pages)</translation>
    </message>
    <message>
        <source>Unicode PST</source>
        <translation>Unicode PST</translation>
    </message>
    <message>
        <source>Outlook 97-2002 的格式: 32 位编号, 最大 2 GB</source>
        <translation>The Outlook 97-2002 format: 32-bit IDs, at most 2 GB</translation>
    </message>
    <message>
        <source>Outlook 2013 及以后的脱机文件 (Exchange, Microsoft 365): 4 KiB 的页, 数据块可能压缩</source>
        <translation>An offline store of Outlook 2013 and later (Exchange, Microsoft 365): 4 KiB pages, blocks possibly compressed</translation>
    </message>
    <message>
        <source>Outlook 2003 及以后的格式</source>
        <translation>The format of Outlook 2003 and later</translation>
    </message>
    <message>
        <source>未知版本的PST格式, 暂不能读取</source>
        <translation>A PST of an unknown version, which cannot be read yet</translation>
    </message>
    <message>
        <source>磁盘镜像 (*.img *.dd *.raw *.bin *.001 *.E01 *.e01 *.Ex01 *.qcow2 *.qcow *.vmdk *.vhd *.vhdx *.VHD *.VHDX)</source>
        <translation>Disk images (*.img *.dd *.raw *.bin *.001 *.E01 *.e01 *.Ex01 *.qcow2 *.qcow *.vmdk *.vhd *.vhdx *.VHD *.VHDX)</translation>
    </message>
</context>
<context>
    <name>kestrix::app::AboutBox</name>
    <message>
        <source>KESTRIX是一款针对
OUTLOOK2000,2002,2003,2007
的PST邮件碎片恢复的一款工具！</source>
        <translation>KESTRIX recovers PST mail files
of Outlook 2000, 2002, 2003
and 2007 from their fragments.</translation>
    </message>
    <message>
        <source>版本 %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>kestrix::app::ExtractController</name>
    <message>
        <source>请先勾选要恢复的碎片!</source>
        <translation>Tick the fragments to recover first!</translation>
    </message>
    <message>
        <source>碎片.bin</source>
        <translation>fragments.bin</translation>
    </message>
    <message>
        <source>请先选择一个文件!</source>
        <translation>Select a file first!</translation>
    </message>
    <message>
        <source>写入 %p%</source>
        <translation>Writing %p%</translation>
    </message>
    <message>
        <source>检查 %p%</source>
        <translation>Checking %p%</translation>
    </message>
    <message>
        <source>修复 %p%</source>
        <translation>Repairing %p%</translation>
    </message>
    <message>
        <source>
有 %1 个扇区无法读取, 已写为零: %2</source>
        <translation>
%1 sectors could not be read and were written as zeros: %2</translation>
    </message>
    <message>
        <source>
其中 %1 个扇区超出数据源末尾</source>
        <translation>
%1 of them lie past the end of the source</translation>
    </message>
    <message>
        <source>
%1: 文件可能混有两个版本</source>
        <translation>
%1: the file may mix two versions</translation>
    </message>
    <message>
        <source>已写入, 但结果不完整! </source>
        <translation>Written, but the result is not whole! </translation>
    </message>
    <message>
        <source>完成! </source>
        <translation>Done! </translation>
    </message>
    <message>
        <source>&quot;%1&quot; (%2): 写入 %3 个区间</source>
        <translation>&quot;%1&quot; (%2): %3 intervals written</translation>
    </message>
    <message>
        <source>, 缺少 %1 个区间 (已留为零)</source>
        <translation>, %1 intervals missing (left as zeros)</translation>
    </message>
    <message>
        <source>所选的碎片中有 ID 重复 (%1): 它们可能来自两个邮箱, 或同一文件的两个版本. 重组时每个 ID 只保留一个区间. 仍要写入吗?</source>
        <translation>The ticked fragments hold the same IDs twice (%1): they may come from two mailboxes, or be two versions of one file. Rebuild keeps one interval of each ID. Write them all the same?</translation>
    </message>
    <message>
        <source>完成 %p%</source>
        <translation>Done %p%</translation>
    </message>
    <message>
        <source>数据源: &quot;%1&quot;
</source>
        <translation>Source: &quot;%1&quot;
</translation>
    </message>
</context>
<context>
    <name>kestrix::app::HelpViewer</name>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>找不到使用手册 &quot;%1&quot;。</source>
        <translation>The manual &quot;%1&quot; cannot be found.</translation>
    </message>
</context>
<context>
    <name>kestrix::app::MainWindow</name>
    <message>
        <source>任务正在运行. 停止它并退出吗?</source>
        <translation>A job is running. Stop it and quit?</translation>
    </message>
</context>
<context>
    <name>kestrix::app::ManualListController</name>
    <message>
        <source>选择文件会替换你勾选的碎片和 4. 手工 列表. 替换吗?</source>
        <translation>Choosing a file replaces the fragments you ticked and the 4. Manual list. Replace them?</translation>
    </message>
</context>
<context>
    <name>kestrix::app::MenuController</name>
    <message>
        <source>文件(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>打开磁盘镜像(&amp;O)…</source>
        <translation>&amp;Open disk image…</translation>
    </message>
    <message>
        <source>关闭(&amp;X)</source>
        <translation>&amp;Close</translation>
    </message>
    <message>
        <source>帮助(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>关于KESTRIX(&amp;A)</source>
        <translation>&amp;About Kestrix</translation>
    </message>
    <message>
        <source>恢复碎片(&amp;R)</source>
        <translation>&amp;Recover fragments</translation>
    </message>
    <message>
        <source>全选(&amp;A)</source>
        <translation>Select &amp;all</translation>
    </message>
    <message>
        <source>清空碎片(&amp;C)</source>
        <translation>&amp;Clear fragments</translation>
    </message>
    <message>
        <source>恢复文件(&amp;R)</source>
        <translation>&amp;Recover file</translation>
    </message>
    <message>
        <source>恢复所选文件到文件夹(&amp;F)…</source>
        <translation>Recover ticked files to a &amp;folder…</translation>
    </message>
</context>
<context>
    <name>kestrix::app::RebuildController</name>
    <message>
        <source>%1 %2 → %3</source>
        <translation>%1 %2 → %3</translation>
    </message>
    <message>
        <source>_重组.pst</source>
        <translation>_rebuilt.pst</translation>
    </message>
    <message>
        <source>初始化PST文件</source>
        <translation>Preparing the PST file</translation>
    </message>
    <message>
        <source>重组PST文件</source>
        <translation>Rebuilding the PST file</translation>
    </message>
    <message>
        <source>检查PST文件</source>
        <translation>Checking the PST file</translation>
    </message>
    <message>
        <source>修复PST文件</source>
        <translation>Repairing the PST file</translation>
    </message>
    <message>
        <source>完成!</source>
        <translation>Done!</translation>
    </message>
    <message>
        <source>完成! 最后写入 %1</source>
        <translation>Done! Last written: %1</translation>
    </message>
    <message>
        <source>重组完成:
</source>
        <translation>Rebuild finished:
</translation>
    </message>
    <message>
        <source>&quot;%1&quot;: 已停止, 未写入</source>
        <translation>&quot;%1&quot;: stopped, not written</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 末尾的 %2 字节不是完整的区间, 没有写入</source>
        <translation>The last %2 bytes of &quot;%1&quot; are not a whole interval and were not written</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 中有 %2 个 ID 出现在多个区间 (%3): 每个 ID 只写入最后一个区间, 其余已丢弃; 输入可能混合了两个邮箱的碎片</source>
        <translation>%2 IDs of &quot;%1&quot; appear in more than one interval (%3): the last interval of each was written and the others were dropped; the input may join fragments of two mailboxes</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 中有 %2 个区间的分配图页属于另一种格式 (与第一个区间不同), 没有使用</source>
        <translation>%2 intervals of &quot;%1&quot; begin with an allocation-map page of another layout than the first interval&apos;s, and were not used</translation>
    </message>
</context>
<context>
    <name>kestrix::app::RecoverFilesController</name>
    <message>
        <source>请先勾选要恢复的文件!</source>
        <translation>Tick the files to recover first!</translation>
    </message>
    <message>
        <source>从数据源 &quot;%1&quot; 恢复 %2 个文件 (共 %3) 到文件夹 &quot;%4&quot;:
%5
</source>
        <translation>Recover %2 files (%3 in all) from the source &quot;%1&quot; into the folder &quot;%4&quot;:
%5
</translation>
    </message>
    <message>
        <source>
文件夹的可用空间: %1</source>
        <translation>
Free space in the folder: %1</translation>
    </message>
    <message>
        <source>
文件夹的可用空间未知</source>
        <translation>
The free space in the folder is not known</translation>
    </message>
    <message>
        <source> (可能不够: 放不下的文件不会写入)</source>
        <translation> (may not be enough: files that do not fit are not written)</translation>
    </message>
    <message>
        <source>
同时写入报告 report.xml, map.svg 和 %1.</source>
        <translation>
The report report.xml, map.svg and %1 are written too.</translation>
    </message>
    <message>
        <source>

将替换文件夹中已有的文件: %1</source>
        <translation>

These files in the folder will be replaced: %1</translation>
    </message>
    <message>
        <source>

继续吗?</source>
        <translation>

Go on?</translation>
    </message>
    <message>
        <source>恢复所选文件到文件夹…</source>
        <translation>Recover ticked files to a folder…</translation>
    </message>
    <message>
        <source>检查 %p%</source>
        <translation>Checking %p%</translation>
    </message>
    <message>
        <source>修复 %p%</source>
        <translation>Repairing %p%</translation>
    </message>
    <message>
        <source>写入 %p%</source>
        <translation>Writing %p%</translation>
    </message>
    <message>
        <source>已停止: 没有写入任何文件, 文件夹 &quot;%1&quot; 保持原样</source>
        <translation>Stopped: no file was written; the folder &quot;%1&quot; is as it was</translation>
    </message>
    <message>
        <source>完成 %p%</source>
        <translation>Done %p%</translation>
    </message>
    <message>
        <source>没有写入任何文件:</source>
        <translation>No file was written:</translation>
    </message>
    <message>
        <source>已写入 %1 个文件到 &quot;%2&quot;:</source>
        <translation>%1 files written to &quot;%2&quot;:</translation>
    </message>
    <message>
        <source>  … 还有 %1 个文件</source>
        <translation>  … and %1 more files</translation>
    </message>
</context>
<context>
    <name>kestrix::app::RepairController</name>
    <message>
        <source>_修复.pst</source>
        <translation>_repaired.pst</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 完好, 已原样复制到 &quot;%2&quot;
%3</source>
        <translation>&quot;%1&quot; is sound and was copied unchanged to &quot;%2&quot;
%3</translation>
    </message>
    <message>
        <source>&quot;%1&quot; 完好, 已截去声明的文件末尾之后的 %2 字节残余数据, 其余原样复制到 &quot;%3&quot;
%4</source>
        <translation>&quot;%1&quot; is sound: the slack past its declared end was cut (bytes: %2) and the rest copied unchanged to &quot;%3&quot;
%4</translation>
    </message>
    <message>
        <source>
文件头已重建</source>
        <translation>
The file header was rebuilt</translation>
    </message>
    <message>
        <source>
已截去声明的文件末尾之后的残余数据 (字节): %1</source>
        <translation>
Slack past the declared end cut (bytes): %1</translation>
    </message>
    <message>
        <source>
%1 个分配表页已丢失, 已标记为待重建</source>
        <translation>
Allocation map pages lost and marked for rebuilding: %1</translation>
    </message>
    <message>
        <source>
%1 项所在的文件夹已丢失, 已放入 &quot;%2&quot;</source>
        <translation>
The folders of %1 items were lost; they were put in &quot;%2&quot;</translation>
    </message>
    <message>
        <source>修复完成! 已写入 &quot;%1&quot;
修复后: %2
修复前: %3 (%4)</source>
        <translation>Repair finished! Written to &quot;%1&quot;
After the repair: %2
Before the repair: %3 (%4)</translation>
    </message>
    <message>
        <source>
修复后仍有问题: %1</source>
        <translation>
Still wrong after the repair: %1</translation>
    </message>
</context>
<context>
    <name>kestrix::app::ScanController</name>
    <message>
        <source>扫描完成 %p%</source>
        <translation>Scan complete %p%</translation>
    </message>
    <message>
        <source>已停止 %p%</source>
        <translation>Stopped %p%</translation>
    </message>
    <message>
        <source>碎片: %1</source>
        <translation>Fragments: %1</translation>
    </message>
    <message>
        <source>数据源 &quot;%1&quot; 在扫描时变短了: 打开时为 %2 字节, 读到第 %3 字节时已结束. 列出的是此前找到的碎片</source>
        <translation>The source &quot;%1&quot; became shorter during the scan: it had %2 bytes when opened and ended at byte %3. The fragments listed are those found before that point</translation>
    </message>
    <message>
        <source>有 %1 个扇区无法读取, 已跳过 (&quot;%2&quot;): %3</source>
        <translation>%1 sectors could not be read and were skipped (&quot;%2&quot;): %3</translation>
    </message>
    <message>
        <source>大小: %1 (%2 字节)</source>
        <translation>Size: %1 (%2 bytes)</translation>
    </message>
    <message>
        <source>扫描完成: </source>
        <translation>Scan complete: </translation>
    </message>
    <message>
        <source>扫描未完成: </source>
        <translation>Scan not complete: </translation>
    </message>
    <message>
        <source>读取 %1, 找到 %2 个碎片, 拼出 %3 个文件 (%4 个有自己的文件头), 无法读取的扇区 %5 个</source>
        <translation>%1 read, %2 fragments found, %3 files put together (%4 with a header of their own), %5 sectors unreadable</translation>
    </message>
    <message>
        <source>. 镜像的分段文件 &quot;%1&quot; 不存在: 它和其后分段中的数据无法读取</source>
        <translation>. The image&apos;s segment file &quot;%1&quot; is missing: what it and the segments after it hold cannot be read</translation>
    </message>
    <message>
        <source>. 在 文件 列表中勾选要恢复的文件, 然后点 &quot;%1&quot;</source>
        <translation>. Tick the files to recover in the Files list, then click &quot;%1&quot;</translation>
    </message>
    <message>
        <source>未找到碎片: 数据源 &quot;%1&quot; 只有零 (空白或已被清零)</source>
        <translation>No fragments found: the source &quot;%1&quot; holds only zeros (blank or wiped)</translation>
    </message>
    <message>
        <source>未找到碎片: 数据源 &quot;%1&quot; 上没有 PST 文件的分配映射页 (读取了 %2)</source>
        <translation>No fragments found: the source &quot;%1&quot; holds no allocation-map page of a PST file (%2 read)</translation>
    </message>
    <message>
        <source>读取文件的索引 %1/%2</source>
        <translation>Reading the files&apos; indexes %1/%2</translation>
    </message>
    <message>
        <source>没有文件使用这个碎片</source>
        <translation>No file uses this fragment</translation>
    </message>
    <message>
        <source>%1 个文件使用这个碎片: %2</source>
        <translation>%1 files use this fragment: %2</translation>
    </message>
    <message>
        <source>. 另有 %1 个未知版本的 PST 文件头, 第一个在扇区 %2 (版本 %3)</source>
        <translation>. Also %1 PST headers of an unknown version, the first at sector %2 (version %3)</translation>
    </message>
    <message>
        <source>%1 镜像, %2</source>
        <translation>%1 image, %2</translation>
    </message>
</context>
<context>
    <name>kestrix::app::SourceController</name>
    <message>
        <source>打开磁盘镜像</source>
        <translation>Open disk image</translation>
    </message>
    <message>
        <source>需要 root 或 disk 组权限</source>
        <translation>Disks need root or disk group rights</translation>
    </message>
    <message>
        <source>读取磁盘需要管理员权限</source>
        <translation>Disks need administrator rights</translation>
    </message>
    <message>
        <source>请先选择数据源: 在数据源框中输入路径, 右键单击它选择磁盘或分区, 或单击“浏览…”打开镜像文件</source>
        <translation>Choose a source first: type a path into the source box, right-click it to choose a disk or partition, or click “Browse…” to open an image file</translation>
    </message>
</context>
<context>
    <name>kestrix::widgets::SourceMapView</name>
    <message>
        <source>源的分布图</source>
        <translation>Map of the source</translation>
    </message>
    <message>
        <source>无文件使用</source>
        <translation>Used by no file</translation>
    </message>
    <message>
        <source>文件 %1</source>
        <translation>File %1</translation>
    </message>
    <message>
        <source>两个文件：%1</source>
        <translation>Two files: %1</translation>
    </message>
    <message>
        <source>%1 个文件：%2</source>
        <translation>%1 files: %2</translation>
    </message>
    <message>
        <source>碎片 %1</source>
        <translation>Fragment %1</translation>
    </message>
    <message>
        <source>字节 %1 至 %2（%3 MB 至 %4 MB）</source>
        <translation>Bytes %1 to %2 (%3 MB to %4 MB)</translation>
    </message>
    <message>
        <source>ID %1 至 %2</source>
        <translation>IDs %1 to %2</translation>
    </message>
    <message>
        <source>此处有无法读取的扇区</source>
        <translation>Holds sectors that could not be read</translation>
    </message>
    <message>
        <source>文件（每个文件一种颜色）</source>
        <translation>Files (a colour each)</translation>
    </message>
    <message>
        <source>两个或更多文件使用</source>
        <translation>Used by two or more files</translation>
    </message>
    <message>
        <source>无法读取</source>
        <translation>Unreadable</translation>
    </message>
    <message>
        <source>全为零</source>
        <translation>Only zeros</translation>
    </message>
    <message>
        <source>其他数据</source>
        <translation>Other data</translation>
    </message>
    <message>
        <source>尚未读取</source>
        <translation>Not read yet</translation>
    </message>
    <message>
        <source>找到的分配映射页</source>
        <translation>Allocation-map pages found</translation>
    </message>
</context>
</TS>
