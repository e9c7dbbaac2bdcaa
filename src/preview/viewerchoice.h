#pragma once
// What command 13 decides before any window opens: its parameters, the
// permission markers of its option text, and which viewer shows the file.
// No windows here; the installed-software questions go through a probe that
// tests replace.
#include <QList>
#include <QString>

#include <functional>

// The permissions a preview window enforces, read from the option text.
struct TPreviewOptions {
    QString FHashPs;
    bool FDocReadonly = true;
    bool FCanPrint = false;
    bool FIsCheckVirtualPrint = true;
    bool FSelectPrinter = false;
    bool FCanCopy = false;

    static TPreviewOptions Parse(const QString &ctparams);
    // Nothing may leave the viewer: no print, no copy, read-only.
    bool Restricted() const { return FDocReadonly || !FCanPrint || !FCanCopy; }
};

// Whether a token can travel inside the request's tag text as it is.
bool IsSafeHashPs(const QString &token);

struct TPreviewRequest {
    qint64 Key = 0;
    qint64 Version = -1;
    QString Name;      // as the server gave it: only ever a caption, never a path or options
    QString Ext;       // after the name's last dot, lower-cased
    quint32 Code = 0;  // numbered engineering versions take the code of their real type
    QString Options;   // the "ctparams" text

    static TPreviewRequest Parse(const QString &cmd);
    // Takes the name as the caption and its type from it.
    void SetName(const QString &name);
};

// Answers about installed viewer software. On this platform only LibreOffice
// and a help viewer can be present; the drawing viewers never are.
class TSoftwareProbe
{
public:
    virtual ~TSoftwareProbe() = default;
    // kind 1 Word, 2 Excel, 3 PowerPoint: "V" + two digits, "VNotOpen", "VNotExists" or empty.
    virtual QString OfficeVersion(int kind) const = 0;
    virtual int PdfControlKind() const = 0;
    // True when the AutoVue control is registered and its file exists; *fileVersion may be empty.
    virtual bool AutoVue(QString *fileVersion) const = 0;
    virtual bool EDrawings() const = 0;
    virtual bool Caxa() const = 0;
    // LibreOffice can turn office, rtf, Visio and CorelDRAW files into PDF here.
    virtual bool CanConvert() const = 0;
    // The help viewer program for chm files, or empty.
    virtual QString HelpViewer() const = 0;
};

class TLocalSoftwareProbe : public TSoftwareProbe
{
public:
    QString OfficeVersion(int kind) const override;
    int PdfControlKind() const override { return 1; }
    bool AutoVue(QString *) const override { return false; }
    bool EDrawings() const override { return false; }
    bool Caxa() const override { return false; }
    bool CanConvert() const override;
    QString HelpViewer() const override;
};

enum TViewerChoice { VC_None = 0, VC_AutoVue = 1, VC_Own = 2, VC_EDrawings = 3, VC_Caxa = 4 };

// Asks which of the usable drawing viewers (1, 3, 4) to use; returns the style
// (1, 3 or 4; 0 when closed) and whether to remember it.
using TViewerAsker = std::function<int(const QList<int> &usable, bool *always)>;

// The choice for a request, remembering a choice in the relation file
// (FileTypeRelation.txt) when the user asks to.
int ChooseViewer(const TPreviewRequest &r, const TSoftwareProbe &probe, const QString &relationFile,
                 const TViewerAsker &ask);

// Which of our windows shows a file the own viewers take.
enum class TViewerKind {
    None, Office, Vsd, Mpp, Pdf, Foxit, Sursen, Ceb, Cdr, Gwd, Exb, Rtf, Mht, Eml, Caj, Chm, Image, Text
};
TViewerKind PickViewer(quint32 code, int pdfControlKind);

// How a viewer kind is shown on this machine.
enum class TViewerRoute { PdfView, Convert, Image, Text, Mht, Eml, HelpViewer, WebPage };
TViewerRoute RouteOf(TViewerKind kind, const TSoftwareProbe &probe);

// Whether a file of this name opens in a window of ours on this machine (the
// file manager hands those to the preview command instead of the browser).
bool ShowsInClient(const QString &fileName, const TSoftwareProbe &probe);

// Types this platform's own viewers show besides the listed ones.
bool IsImageType(quint32 code);
bool IsTextType(quint32 code);
