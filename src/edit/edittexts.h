#pragma once
// The user texts of the editing windows, in the configured language.
#include "core/resultcodes.h"

#include <QString>

struct TEditTexts {
    QString WLS_Hint, WLS_InWriteAudit, WLS_Audit, WLS_UplaodError2, WLS_DownloadOK, WLS_Edit, WLS_IsUpload,
        WLS_Cancel;
    // When even the rescue copy cannot be written, the user must learn where the work is.
    QString WLS_CopyKept;
    // An edit of the copy the user had checked out to the same place opens that copy as it is.
    QString WLS_CheckedOutCopy;
    // The copy of an earlier edit that never ended opens as it is too.
    QString WLS_LeftoverCopy;
    static TEditTexts For(THS_Language language);
};

struct TMonitorTexts {
    QString WLS_UpdateOk, WLS_Audit, WLS_UpdateError, WLS_UplaodError2, WLS_NoChange, WLS_CurrentFile,
        WLS_DownloadOK, WLS_OpenOK, WLS_OpenFailed, WLS_Monitor, WLS_FileTime, WLS_LB0, WLS_LB1, WLS_LB2;
    QString WLS_InUse, WLS_Watching;
    // Without a sign of the editor the user ends each edit; a leftover of an earlier run is offered.
    QString Finished, Undecided, ChangeUploaded, LeftoverQuestion, LeftoverKept, GivenBack;
    static TMonitorTexts For(THS_Language language);
};

struct TEditorTexts {
    QString WLS_CancelEdit, WLS_UpladeOver, WLS_PrintPreview, WLS_PrintPreviewCancel;
    QString Save, Cancel, Find, FindNext, Status, Caption;
    // The editing tool bar: each action's label and what its tooltip says.
    QString Cut, CutHint, Copy, CopyHint, Paste, PasteHint, Undo, UndoHint, FontNameHint, FontSizeHint;
    // The office document lives in another program here: what the control window says about it.
    QString OfficeOpen, OfficeClosed, OfficeStillOpen, OfficeNotInstalled, UnfinishedEdits;
    // Typed characters the file's encoding cannot store: asked before saving as UTF-8.
    QString CannotHold;
    static TEditorTexts For(THS_Language language);
};
