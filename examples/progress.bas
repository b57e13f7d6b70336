Attribute VB_Name = "QuodraProgress"
' A worked example for BASIC-family hosts (Office macros, VB6): a download
' with a progress bar and a Cancel button, through quodra.bas.
'
' The form is a UserForm named ProgressForm, shown modeless, holding:
'   Track         a Label, the empty bar: a border, no fill, as wide as the bar may grow
'   Bar           a Label on top of Track, filled, its width 0 to start
'   Status        a Label under them for "1.2 of 3.4 MiB"
'   CancelButton  a CommandButton, with this in the form's own module:
'                     Private Sub CancelButton_Click()
'                         QuodraProgress.CancelRequested = True
'                     End Sub
'
' The library calls ShowProgress on the thread that made the call, from
' inside that call, about ten times a second and once more when it ends.
' DoEvents there lets the form draw and take the click on Cancel; the
' answer 1 stops the call, which then returns QUODRA_CANCELLED. A call of
' the library's made from inside ShowProgress is refused.
Option Explicit

Public CancelRequested As Boolean

#If VBA7 Then
Public Function ShowProgress(ByVal context As LongPtr, ByVal sent As Double, ByVal sendTotal As Double, ByVal received As Double, ByVal receiveTotal As Double) As Long
#Else
Public Function ShowProgress(ByVal context As Long, ByVal sent As Double, ByVal sendTotal As Double, ByVal received As Double, ByVal receiveTotal As Double) As Long
#End If
    Dim done As Double, total As Double
    ' An upload's body moves first, the reply's after it.
    If sendTotal > 0 And received = 0 Then
        done = sent
        total = sendTotal
    Else
        done = received
        total = receiveTotal
    End If
    With ProgressForm
        If total > 0 Then
            .Bar.Width = .Track.Width * done / total
            .Status.Caption = Format$(done / 1048576, "0.0") & " of " & Format$(total / 1048576, "0.0") & " MiB"
        Else
            ' No length announced (-1): bytes only.
            .Status.Caption = Format$(done / 1048576, "0.0") & " MiB"
        End If
    End With
    DoEvents
    If CancelRequested Then ShowProgress = 1 Else ShowProgress = 0
End Function

' Downloads url into outfile while the bar shows how far it has come;
' True when the whole reply was stored.
Public Function DownloadWithProgress(ByVal url As String, ByVal outfile As String) As Boolean
    Dim result As Long
    CancelRequested = False
    ProgressForm.Bar.Width = 0
    ProgressForm.Show vbModeless
    httpSetOption QUODRA_OPTION_MESSAGE_BOXES, 0
    httpSetProgress AddressOf ShowProgress, 0
    result = httpGet(url, outfile, 0)
    httpSetProgress 0, 0
    Unload ProgressForm
    Select Case result
    Case QUODRA_OK
        DownloadWithProgress = True
    Case QUODRA_CANCELLED
        MsgBox "The download was cancelled."
    Case Else
        MsgBox "The download failed: " & LastErrorText()
    End Select
End Function
