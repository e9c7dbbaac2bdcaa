#include "batch/fileindex.h"

#include "batch/batchtranconfig.h"
#include "batch/logging.h"
#include "core/ansicodec.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/textfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kColumn = 22;
constexpr int kMaxPath = 1024;
const QString kCrLf = QStringLiteral("\r\n");

QByteArray utf16le(const QString &text)
{
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
#else
    QStringEncoder enc(QStringEncoder::Utf16LE);
    return enc.encode(text);
#endif
}

// Appends v left-aligned in a field of width characters (cut to the width).
void appendColumn(QString &out, qint64 v, int width = kColumn)
{
    char16_t buf[kColumn + 2];
    char16_t digits[24];
    int n = 0;
    quint64 u = v < 0 ? 0 - quint64(v) : quint64(v);
    do {
        digits[n++] = char16_t(u'0' + u % 10);
        u /= 10;
    } while (u != 0);
    int len = 0;
    if (v < 0)
        buf[len++] = u'-';
    while (n > 0 && len < width)
        buf[len++] = digits[--n];
    while (len < width)
        buf[len++] = u' ';
    out.append(QStringView(buf, len));
}

QString column(qint64 v, int width = kColumn)
{
    QString s;
    appendColumn(s, v, width);
    return s;
}

TDateTime fromTimespec(const struct timespec &ts)
{
    // Milliseconds, as the platform's file times are read elsewhere in the client. The
    // zone offset changes only on quarter hours: one look-up per quarter hour of file times.
    thread_local time_t quarterStart = -1;
    thread_local long offset = 0;
    const time_t sec = ts.tv_sec;
    const time_t quarter = sec - (sec % 900 + 900) % 900;
    if (quarter != quarterStart) {
        struct tm lt;
        localtime_r(&sec, &lt);
        offset = lt.tm_gmtoff;
        quarterStart = quarter;
    }
    const double local = double(sec + offset) + double(ts.tv_nsec / 1000000) / 1000.0;
    return local / 86400.0 + 25569.0;
}

quint32 kindOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype dot = path.lastIndexOf(u'.');
    if (dot <= slash)
        return 0;
    // Printable ASCII needs neither trimming nor a lowered copy: the code at once.
    quint32 code = 0;
    for (qsizetype i = dot + 1; i < path.size(); ++i) {
        char16_t c = path.at(i).unicode();
        if (c <= 32 || c >= 0x7F)
            return FileExtCode(path.mid(dot + 1));
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c + 32);
        if (i - dot <= 4)
            code = code * 256 + c;
    }
    return code;
}

bool isThumbsDb(const QString &path)
{
    const qsizetype slash = qMax(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    return QStringView(path).mid(slash + 1).compare(QLatin1String("thumbs.db"), Qt::CaseInsensitive) == 0;
}

// Where the first CR LF starts; -1 when there is none. A search for the line
// feed alone is the fast one; a lone LF stays part of its line.
qsizetype indexOfCrLf(QStringView text)
{
    for (qsizetype at = text.indexOf(u'\n', 1); at > 0; at = text.indexOf(u'\n', at + 1))
        if (text[at - 1] == u'\r')
            return at - 1;
    return -1;
}

// Cuts what a crash left behind: an odd byte and a last line without CR LF.
qint64 repairedLength(const QByteArray &bytes)
{
    qint64 n = bytes.size() & ~qint64(1);
    static const char crlf[] = {'\r', 0, '\n', 0};
    while (n >= 4) {
        if (memcmp(bytes.constData() + n - 4, crlf, 4) == 0)
            return n;
        n -= 2;
    }
    return 0;
}

} // namespace

bool LocalFileStat(const QString &path, qint64 &size, TDateTime &modifyDT)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        size = 0;
        modifyDT = 0;
        return false;
    }
    size = st.st_size;
    modifyDT = fromTimespec(st.st_mtim);
    return true;
}

TFileIndex::TFileIndex()
{
    const TDateTime now = NowDateTime();
    MinDT = now;
    MaxDT = now - 1;
}

TFileIndex::~TFileIndex() = default;

void TFileIndex::Init()
{
    FIndexFilePath = IndexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(IndexFolder);
    QDir().mkpath(FIndexFilePath);
    Path_FileName = FIndexFilePath + QString::number(TaskId) + QStringLiteral(".fln");
    Status_FileName = FIndexFilePath + QString::number(TaskId) + QStringLiteral(".std");
}

QString TFileIndex::ExcludedFileName() const
{
    return FIndexFilePath + QString::number(TaskId) + QStringLiteral(".ivd");
}

QString TFileIndex::LogFileName() const
{
    return FIndexFilePath + QString::number(TaskId) + QStringLiteral(".log");
}

qint64 TFileIndex::UploadKey(const QString &path, qint64 size, TDateTime modifyDT)
{
    return qint64(quint64(PathHash64(path)) + quint64(size) + quint64(DateTimeToTicks(modifyDT) / 10));
}

bool TFileIndex::IsExclusionCopy(const QString &path)
{
    const qsizetype k = path.indexOf(QLatin1String("_kx"));
    if (k < 1)
        return false;
    qsizetype i = k + 4;
    while (i < path.size() && path.at(i).isDigit() && path.at(i).unicode() < 128)
        ++i;
    return i < path.size() && path.at(i) == u'.';
}

void TFileIndex::AppendPathLine(QString &out, const TTidyFile &t)
{
    appendColumn(out, t.PathHash);
    appendColumn(out, t.FolderId);
    appendColumn(out, t.Size);
    appendColumn(out, DateTimeToTicks(t.ModifyDT));
    out += t.Path;
    out += kCrLf;
}

QString TFileIndex::PathLine(const TTidyFile &t)
{
    QString line;
    line.reserve(4 * kColumn + t.Path.size() + 2);
    AppendPathLine(line, t);
    return line;
}

QString TFileIndex::StateLine(qint64 hash, quint8 dealed)
{
    return column(hash) + QStringLiteral("0").leftJustified(kColumn) + column(dealed, 4) + kCrLf;
}

void TFileIndex::SetFileTypes(const QList<qint32> &types)
{
    QMutexLocker lock(&FLock);
    FUserFileTypes.clear();
    if (types.contains(42))
        return;
    for (qint32 t : types)
        FUserFileTypes << quint32(t);
}

bool TFileIndex::Load(QString *error)
{
    QMutexLocker lock(&FLock);
    H_Path.close();
    H_Status.close();
    PList.clear();
    FAllSize = 0;
    FFinishedSize = 0;
    if (Path_FileName.isEmpty())
        Init();

    auto openRepaired = [&](QFile &f, const QString &name, QByteArray &bytes) {
        f.setFileName(name);
        if (!f.open(QIODevice::ReadWrite)) {
            if (error)
                *error = QStringLiteral("Cannot open %1: %2").arg(QDir::toNativeSeparators(name), f.errorString());
            return false;
        }
        bytes = f.readAll();
        const qint64 keep = repairedLength(bytes);
        if (keep != bytes.size()) {
            qCWarning(lcBatch) << "cut a torn tail of" << name << "from" << bytes.size() << "to" << keep << "bytes";
            f.resize(keep);
            bytes.truncate(keep);
        }
        f.seek(f.size());
        return true;
    };

    QByteArray pathBytes;
    QByteArray stateBytes;
    if (!openRepaired(H_Path, Path_FileName, pathBytes) || !openRepaired(H_Status, Status_FileName, stateBytes))
        return false;

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // The file's bytes are the text: read in place, not decoded into a second copy.
    QStringView pathText(reinterpret_cast<const char16_t *>(pathBytes.constData()), pathBytes.size() / 2);
    if (pathText.startsWith(QChar(0xFEFF)))
        pathText = pathText.mid(1);
#else
    const QString pathText = QStringDecoder(QStringDecoder::Utf16LE).decode(pathBytes);
#endif
    qsizetype dead = 0;
    qsizetype lines = 0;
    PList.reserve(size_t(pathText.size() / 100));
    QStringView rest(pathText);
    while (!rest.isEmpty()) {
        const qsizetype e = indexOfCrLf(rest);
        const QStringView line = e < 0 ? rest : rest.left(e);
        rest = e < 0 ? QStringView() : rest.mid(e + 2);
        ++lines;
        if (line.size() < 4 * kColumn) {
            ++dead;
            continue;
        }
        bool ok[4];
        const qint64 key = line.mid(0, kColumn).trimmed().toLongLong(&ok[0]);
        const qint64 folder = line.mid(kColumn, kColumn).trimmed().toLongLong(&ok[1]);
        const qint64 size = line.mid(2 * kColumn, kColumn).trimmed().toLongLong(&ok[2]);
        const qint64 ticks = line.mid(3 * kColumn, kColumn).trimmed().toLongLong(&ok[3]);
        if (!ok[0] || !ok[1] || !ok[2] || !ok[3]) {
            ++dead;
            continue;
        }
        TTidyFile t;
        t.PathHash = key;
        t.FolderId = qint32(folder);
        t.Size = size;
        t.ModifyDT = TicksToDateTime(ticks);
        t.Path = line.mid(4 * kColumn, kMaxPath).trimmed().toString();
        t.Kind = kindOf(ToLocalSeparators(t.Path));
        t.NameHash = qint32(NameHash32(t.Path));
        PList.push_back(std::move(t));
    }
    pathBytes.clear();
    // The first line of a key wins: a stable sort keeps file order among equal keys.
    // A file written in one run is in key order already.
    const auto byKey = [](const TTidyFile &a, const TTidyFile &b) { return a.PathHash < b.PathHash; };
    if (!std::is_sorted(PList.begin(), PList.end(), byKey))
        std::stable_sort(PList.begin(), PList.end(), byKey);
    const auto last = std::unique(PList.begin(), PList.end(),
                                  [](const TTidyFile &a, const TTidyFile &b) { return a.PathHash == b.PathHash; });
    dead += PList.end() - last;
    PList.erase(last, PList.end());
    for (const TTidyFile &t : PList)
        FAllSize += t.Size;

    const QString stateText = QStringDecoder(QStringDecoder::Utf16LE).decode(stateBytes);
    stateBytes.clear();
    qsizetype stateLines = 0;
    rest = QStringView(stateText);
    while (!rest.isEmpty()) {
        const qsizetype e = indexOfCrLf(rest);
        const QStringView line = e < 0 ? rest : rest.left(e);
        rest = e < 0 ? QStringView() : rest.mid(e + 2);
        ++stateLines;
        bool okKey = false;
        bool okState = false;
        const qint64 key = line.mid(0, kColumn).trimmed().toLongLong(&okKey);
        const int state = line.mid(2 * kColumn, 4).trimmed().toInt(&okState);
        if (!okKey || !okState)
            continue;
        bool found = false;
        const qsizetype i = search(key, found);
        if (found)
            PList[size_t(i)].Dealed = quint8(state);
    }
    // What is done is what the last line of each key says, counted once.
    for (const TTidyFile &t : PList)
        if (t.Dealed == dl::Done)
            FFinishedSize += t.Size;

    // Rewrite files that grew with dead lines, atomically, then reopen them.
    const bool compactPaths = dead > 1000 && dead > qsizetype(PList.size());
    const bool compactStates = stateLines > 1000 && stateLines > 2 * qsizetype(PList.size());
    if (compactPaths || compactStates) {
        QString paths;
        QString states;
        for (const TTidyFile &t : PList) {
            if (compactPaths)
                paths += PathLine(t);
            // Tries of files that failed count too: they keep them in the failed list.
            if (compactStates && t.Dealed != dl::Fresh)
                states += StateLine(t.PathHash, t.Dealed);
        }
        auto rewrite = [&](QFile &f, const QString &text) {
            f.close();
            QString err;
            if (!WriteFileAtomic(f.fileName(), utf16le(text), &err))
                qCWarning(lcBatch).noquote() << err;
            f.open(QIODevice::ReadWrite | QIODevice::Append);
        };
        if (compactPaths)
            rewrite(H_Path, paths);
        if (compactStates)
            rewrite(H_Status, states);
    }
    return true;
}

qsizetype TFileIndex::search(qint64 key, bool &found) const
{
    const auto it = std::lower_bound(PList.begin(), PList.end(), key, [](const TTidyFile &t, qint64 k) { return t.PathHash < k; });
    found = it != PList.end() && it->PathHash == key;
    return it - PList.begin();
}

void TFileIndex::appendLines(QFile &file, const QString &text)
{
    if (!file.isOpen() || text.isEmpty())
        return;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // The text's own UTF-16 is the file's: written from where it is, no copy.
    const qint64 size = text.size() * 2;
    if (file.write(reinterpret_cast<const char *>(text.utf16()), size) != size || !file.flush())
#else
    const QByteArray bytes = utf16le(text);
    if (file.write(bytes) != bytes.size() || !file.flush())
#endif
        qCWarning(lcBatch) << "cannot append to" << file.fileName() << file.errorString();
}

bool TFileIndex::accept(const QString &path, qint64 size, TDateTime dt, quint32 kind) const
{
    if (isThumbsDb(path) || EmptyDateWindow)
        return false;
    if (MinFileSize < MaxFileSize && (size < MinFileSize || size > MaxFileSize))
        return false;
    if (MinDT < MaxDT && (dt < MinDT || dt > MaxDT))
        return false;
    if (!FUserFileTypes.isEmpty() && !FUserFileTypes.contains(kind))
        return false;
    return true;
}

void TFileIndex::mergeNew(std::vector<TTidyFile> &added)
{
    if (added.empty())
        return;
    std::sort(added.begin(), added.end(), [](const TTidyFile &a, const TTidyFile &b) { return a.PathHash < b.PathHash; });
    added.erase(std::unique(added.begin(), added.end(),
                            [](const TTidyFile &a, const TTidyFile &b) { return a.PathHash == b.PathHash; }),
                added.end());
    // Written in pieces through one buffer: a text of the whole list would be
    // about 300 bytes an entry, fresh pages the kernel has to hand out and zero.
    constexpr qsizetype kChunkChars = 256 * 1024;
    QString lines;
    lines.reserve(kChunkChars + 4 * kColumn + kMaxPath + 2);
    for (const TTidyFile &t : added) {
        FAllSize += t.Size;
        AppendPathLine(lines, t);
        if (OnAppendFile)
            OnAppendFile(t.Path);
        if (lines.size() >= kChunkChars) {
            appendLines(H_Path, lines);
            lines.resize(0);
        }
    }
    appendLines(H_Path, lines);
    const auto mid = PList.size();
    PList.insert(PList.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    std::inplace_merge(PList.begin(), PList.begin() + qsizetype(mid), PList.end(),
                       [](const TTidyFile &a, const TTidyFile &b) { return a.PathHash < b.PathHash; });
}

void TFileIndex::noteFound(const TFoundFile &f, std::vector<TTidyFile> &added)
{
    const quint32 kind = kindOf(f.Path);
    if (!accept(f.Path, f.Size, f.ModifyDT, kind))
        return;
    const qint64 key = UploadKey(f.Path, f.Size, f.ModifyDT);
    bool found = false;
    const qsizetype i = search(key, found);
    if (found) {
        TTidyFile &t = PList[size_t(i)];
        if (t.Size != f.Size || qAbs(t.ModifyDT - f.ModifyDT) > 1.0 / 86400) {
            t.Size = f.Size;
            t.ModifyDT = f.ModifyDT;
            t.Dealed = dl::Fresh;
        }
        return;
    }
    TTidyFile t;
    t.PathHash = key;
    t.Path = f.Path;
    t.NameHash = qint32(NameHash32(f.Path));
    t.Kind = kind;
    t.Size = f.Size;
    t.ModifyDT = f.ModifyDT;
    added.push_back(std::move(t));
}

void TFileIndex::AppendFoundFiles(const std::vector<TFoundFile> &files)
{
    QMutexLocker lock(&FLock);
    std::vector<TTidyFile> added;
    for (const TFoundFile &f : files)
        if (!f.Path.isEmpty() && !IsExclusionCopy(f.Path))
            noteFound(f, added);
    mergeNew(added);
}

void TFileIndex::AppendFileInfo(const QStringList &paths)
{
    std::vector<TFoundFile> files;
    files.reserve(size_t(paths.size()));
    for (const QString &p : paths) {
        TFoundFile f;
        f.Path = p;
        LocalFileStat(p, f.Size, f.ModifyDT);
        files.push_back(std::move(f));
    }
    AppendFoundFiles(files);
}

void TFileIndex::AppendFileInfoEx(const QString &nameStr)
{
    // A single file is never an exclusion copy by choice of the user: only the list form skips those.
    TFoundFile f;
    f.Path = nameStr;
    LocalFileStat(nameStr, f.Size, f.ModifyDT);
    QMutexLocker lock(&FLock);
    std::vector<TTidyFile> added;
    noteFound(f, added);
    mergeNew(added);
}

void TFileIndex::AppendFileInfoEx(const TTidyFile &tidy)
{
    QMutexLocker lock(&FLock);
    bool found = false;
    search(tidy.PathHash, found);
    if (found)
        return;
    std::vector<TTidyFile> added{tidy};
    added.front().Dealed = dl::Fresh;
    mergeNew(added);
}

bool TFileIndex::GetTidyFile(quint32 kind, TTidyFile &out)
{
    QMutexLocker lock(&FLock);
    for (int pass = 0; pass < 2; ++pass) {
        for (TTidyFile &t : PList) {
            if (kind != 0 && t.Kind != kind)
                continue;
            if (pass == 0 ? t.Dealed == dl::Fresh : t.Dealed < dl::MaxTries) {
                ++t.Dealed;
                out = t;
                return true;
            }
        }
    }
    out = TTidyFile();
    out.PathHash = -1;
    return false;
}

void TFileIndex::UpdateState(qint64 hash, quint8 dealed)
{
    QMutexLocker lock(&FLock);
    bool found = false;
    const qsizetype i = search(hash, found);
    if (!found)
        return;
    TTidyFile &t = PList[size_t(i)];
    if (dealed == dl::Done && t.Dealed != dl::Done)
        FFinishedSize += t.Size;
    t.Dealed = dealed;
    appendLines(H_Status, StateLine(hash, dealed));
}

int TFileIndex::GetUndealFileCount(quint32 kind) const
{
    QMutexLocker lock(&FLock);
    return int(std::count_if(PList.begin(), PList.end(),
                             [&](const TTidyFile &t) { return (kind == 0 || t.Kind == kind) && t.Dealed < dl::Excluded; }));
}

int TFileIndex::GetAllCount(quint32 kind) const
{
    QMutexLocker lock(&FLock);
    return int(std::count_if(PList.begin(), PList.end(),
                             [&](const TTidyFile &t) { return (kind == 0 || t.Kind == kind) && t.Dealed != dl::Excluded; }));
}

void TFileIndex::GetUndealFileInfo(QStringList &errList) const
{
    QMutexLocker lock(&FLock);
    for (const TTidyFile &t : PList)
        if (t.Dealed >= 1 && t.Dealed <= 98)
            errList << t.Path;
}

void TFileIndex::ListFiles(const std::function<void(const TTidyFile &)> &method) const
{
    QMutexLocker lock(&FLock);
    for (const TTidyFile &t : PList)
        method(t);
}

void TFileIndex::RemoveFiles(const QList<qint64> &keys)
{
    QByteArray text;
    for (qint64 k : keys)
        text += QByteArray::number(k) + "\r\n";
    QString err;
    if (text.isEmpty())
        QFile::remove(ExcludedFileName());
    else if (!WriteFileAtomic(ExcludedFileName(), text, &err))
        qCWarning(lcBatch).noquote() << err;
    for (qint64 k : keys)
        UpdateState(k, dl::Excluded);
}

void TFileIndex::RemoveInvalidKey()
{
    QFile f(ExcludedFileName());
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QString text = AnsiToText(f.readAll());
    for (const QString &line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const qint64 k = StrToInt64Def(line.trimmed(), 0);
        TTidyFile t;
        if (Find(k, t))
            UpdateState(k, dl::Excluded);
    }
}

void TFileIndex::ForgetFile(qint64 hash)
{
    QMutexLocker lock(&FLock);
    bool found = false;
    const qsizetype i = search(hash, found);
    if (!found)
        return;
    const TTidyFile &t = PList[size_t(i)];
    FAllSize -= t.Size;
    if (t.Dealed == dl::Done)
        FFinishedSize -= t.Size;
    PList.erase(PList.begin() + i);
    FForgotten = true;
}

void TFileIndex::FlushForgotten()
{
    QMutexLocker lock(&FLock);
    if (!FForgotten || !H_Path.isOpen())
        return;
    QString paths;
    QString states;
    for (const TTidyFile &t : PList) {
        paths += PathLine(t);
        if (t.Dealed != dl::Fresh)
            states += StateLine(t.PathHash, t.Dealed);
    }
    for (auto [file, text] : {std::pair<QFile *, const QString *>{&H_Path, &paths}, {&H_Status, &states}}) {
        file->close();
        QString err;
        if (!WriteFileAtomic(file->fileName(), utf16le(*text), &err))
            qCWarning(lcBatch).noquote() << err;
        file->open(QIODevice::ReadWrite | QIODevice::Append);
    }
    FForgotten = false;
}

void TFileIndex::StateResetOfUpload()
{
    QMutexLocker lock(&FLock);
    for (TTidyFile &t : PList)
        if (t.Dealed < dl::Excluded)
            t.Dealed = dl::Fresh;
}

void TFileIndex::StateResetOfDownload()
{
    QMutexLocker lock(&FLock);
    for (TTidyFile &t : PList)
        t.Dealed = dl::Fresh;
}

void TFileIndex::DeleteIndexFile()
{
    QMutexLocker lock(&FLock);
    H_Path.close();
    H_Status.close();
    QFile::remove(Path_FileName);
    QFile::remove(Status_FileName);
}

void TFileIndex::Clear()
{
    {
        QMutexLocker lock(&FLock);
        PList.clear();
        FAllSize = 0;
        FFinishedSize = 0;
    }
    DeleteIndexFile();
    QFile::remove(ExcludedFileName());
}

qint64 TFileIndex::TotalFileSize() const
{
    QMutexLocker lock(&FLock);
    return FAllSize;
}

qint64 TFileIndex::FinishedSize() const
{
    QMutexLocker lock(&FLock);
    return FFinishedSize;
}

int TFileIndex::Count() const
{
    QMutexLocker lock(&FLock);
    return int(PList.size());
}

bool TFileIndex::Find(qint64 hash, TTidyFile &out) const
{
    QMutexLocker lock(&FLock);
    bool found = false;
    const qsizetype i = search(hash, found);
    if (found)
        out = PList[size_t(i)];
    return found;
}

// ---- Scanning

namespace {

// The folder's text and a name from the file system as one string, made at
// once. Plain ASCII is the same in every locale encoding: no decoder for it.
QString textPath(const QString &dirText, const char *name)
{
    const qsizetype n = qsizetype(strlen(name));
    bool ascii = true;
    for (qsizetype i = 0; i < n && ascii; ++i)
        ascii = uchar(name[i]) < 0x80;
    if (!ascii)
        return dirText + QFile::decodeName(QByteArray::fromRawData(name, n));
    QString path;
    path.reserve(dirText.size() + n);
    path += dirText;
    path += QLatin1StringView(name, n);
    return path;
}

struct Walker {
    QByteArray rootReal;  // canonical root, with a trailing "/"
    bool recurse = true;
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<TFoundFile> *files = nullptr;
    QStringList *folders = nullptr;
    QStringList *unreadable = nullptr;
    const std::function<bool()> *cancelled = nullptr;

    bool inside(const QByteArray &path) const
    {
        char buf[PATH_MAX];
        if (!realpath(path.constData(), buf))
            return false;
        QByteArray real(buf);
        real += '/';
        return real.startsWith(rootReal);
    }

    void walk(const QByteArray &dir, const QString &dirText)
    {
        if (*cancelled && (*cancelled)())
            return;
        DIR *d = opendir(dir.constData());
        if (!d) {
            if (unreadable)
                *unreadable << QStringLiteral("Cannot open folder %1: %2").arg(dirText, qt_error_string(errno));
            return;
        }
        const int fd = dirfd(d);
        while (struct dirent *e = readdir(d)) {
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISLNK(st.st_mode)) {
                // A link counts only when it points inside the root.
                const QByteArray full = dir + name;
                if (!inside(full) || ::stat(full.constData(), &st) != 0)
                    continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (!recurse || !seen.insert({st.st_dev, st.st_ino}).second)
                    continue;
                const QString sub = textPath(dirText, name) + u'/';
                if (folders)
                    folders->append(sub);
                walk(dir + name + '/', sub);
            } else if (S_ISREG(st.st_mode) && files) {
                TFoundFile f;
                f.Path = textPath(dirText, name);
                f.Size = st.st_size;
                f.ModifyDT = fromTimespec(st.st_mtim);
                files->push_back(std::move(f));
            }
        }
        closedir(d);
    }

    void run(const QString &root)
    {
        QString r = ToLocalSeparators(root);
        if (!r.endsWith(u'/'))
            r += u'/';
        const QByteArray enc = QFile::encodeName(r);
        char buf[PATH_MAX];
        if (!realpath(enc.constData(), buf))
            return;
        rootReal = QByteArray(buf);
        if (!rootReal.endsWith('/'))
            rootReal += '/';
        struct stat st;
        if (::stat(enc.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return;
        seen.insert({st.st_dev, st.st_ino});
        walk(enc, r);
    }
};

} // namespace

void TSearchFiles::Execute()
{
    FAllFileNum = 0;
    FUnreadable.clear();
    for (const QString &root : FRoots) {
        std::vector<TFoundFile> files;
        Walker w;
        w.recurse = IsIncludeSubFolder;
        w.files = &files;
        w.unreadable = &FUnreadable;
        w.cancelled = &IsCancelled;
        w.run(root);
        FAllFileNum += int(files.size());
        if (OnSaveFiles)
            OnSaveFiles(files);
    }
}

QStringList TSearchFiles::SubFolders(const QString &root)
{
    QStringList out;
    Walker w;
    std::function<bool()> never;
    w.cancelled = &never;
    w.folders = &out;
    w.run(root);
    return out;
}
