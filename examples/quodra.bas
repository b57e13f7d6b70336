Attribute VB_Name = "Quodra"
' Declarations of quodra.dll for BASIC-family hosts: every call, the result
' codes and the options, and helpers that turn the calls writing into a
' caller's buffer into functions returning a String.
'
' Texts go ByVal ... As String (a pointer to an 8-bit NUL-terminated copy,
' copied back after the call, so a buffer made with String$ receives what
' the call writes); numbers go ByVal ... As Long (32 bits); a pointer that
' is no text (the progress callback and its context) goes ByVal ... As
' LongPtr where the host has it. A host that declares by ordinal writes
' Alias "#1" for httpGet and so on: the ordinals are in the comments.
'
' 64-bit Office (VBA7) loads the 64-bit quodra.dll and needs the PtrSafe
' declarations; older hosts and 32-bit Office without VBA7 take the others.
' Both are here, one set each, chosen when the module is compiled.
Option Explicit

' Result codes; any other value is a Windows Sockets or lookup error number.
Public Const QUODRA_OK As Long = 0
Public Const QUODRA_REFUSED As Long = 1
Public Const QUODRA_NO_OUTPUT As Long = 3
Public Const QUODRA_ENDED_EARLY As Long = 4
Public Const QUODRA_NO_INPUT As Long = 5
Public Const QUODRA_MALFORMED_HEAD As Long = 6
Public Const QUODRA_TLS_FAILED As Long = 7
Public Const QUODRA_BODY_SHORT As Long = 8
Public Const QUODRA_SEEK_FAILED As Long = 9
Public Const QUODRA_CERT_REJECTED As Long = 10
Public Const QUODRA_CANCELLED As Long = 14
Public Const QUODRA_TIME_LIMIT As Long = 15

' Options of httpSetOption.
Public Const QUODRA_OPTION_MESSAGE_BOXES As Long = 1
Public Const QUODRA_OPTION_IDLE_LIMIT As Long = 2
Public Const QUODRA_OPTION_VERIFY_CERTIFICATES As Long = 3  ' 0 is unsafe: any certificate is taken
Public Const QUODRA_OPTION_TIME_LIMIT As Long = 9  ' seconds the whole call may take; 0: no limit

' Options of httpSetOptionText (this thread's calls; vbNullString or "" clears).
Public Const QUODRA_OPTION_HEADERS As Long = 11  ' "Name: value" lines separated by vbLf or vbCrLf

#If VBA7 Then
' The ten exchange calls, ordinals 1 to 10.
Declare PtrSafe Function httpGet Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function httpHead Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function httpPostFile Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davOptions Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davMkcol Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davPropfind Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal depth As Long, ByVal visible As Long) As Long
Declare PtrSafe Function davPut Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davDelete Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davMove Lib "quodra.dll" (ByVal url As String, ByVal destination As String, ByVal outfile As String, ByVal ignored1 As Long, ByVal ignored2 As Long, ByVal visible As Long) As Long
Declare PtrSafe Function davCopy Lib "quodra.dll" (ByVal url As String, ByVal destination As String, ByVal outfile As String, ByVal ignored1 As Long, ByVal ignored2 As Long, ByVal visible As Long) As Long

' The calls beside them, ordinals 12 to 17, 23, 24 and 26 (11 is the DLL's
' window procedure, which a host never calls).
Declare PtrSafe Function httpLastStatus Lib "quodra.dll" () As Long
Declare PtrSafe Function httpLastHead Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpLastError Lib "quodra.dll" () As Long
Declare PtrSafe Function httpResultText Lib "quodra.dll" (ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpSetOption Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As Long) As Long
Declare PtrSafe Function httpSetOptionText Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As String) As Long
Declare PtrSafe Function httpSetProgress Lib "quodra.dll" (ByVal callback As LongPtr, ByVal context As LongPtr) As Long
Declare PtrSafe Function httpLastErrorText Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpLastRequest Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
#Else
' The ten exchange calls, ordinals 1 to 10.
Declare Function httpGet Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function httpHead Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function httpPostFile Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davOptions Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davMkcol Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davPropfind Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal depth As Long, ByVal visible As Long) As Long
Declare Function davPut Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davDelete Lib "quodra.dll" (ByVal url As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davMove Lib "quodra.dll" (ByVal url As String, ByVal destination As String, ByVal outfile As String, ByVal ignored1 As Long, ByVal ignored2 As Long, ByVal visible As Long) As Long
Declare Function davCopy Lib "quodra.dll" (ByVal url As String, ByVal destination As String, ByVal outfile As String, ByVal ignored1 As Long, ByVal ignored2 As Long, ByVal visible As Long) As Long

' The calls beside them, ordinals 12 to 17, 23, 24 and 26 (11 is the DLL's
' window procedure, which a host never calls).
Declare Function httpLastStatus Lib "quodra.dll" () As Long
Declare Function httpLastHead Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpLastError Lib "quodra.dll" () As Long
Declare Function httpResultText Lib "quodra.dll" (ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpSetOption Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As Long) As Long
Declare Function httpSetOptionText Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As String) As Long
Declare Function httpSetProgress Lib "quodra.dll" (ByVal callback As Long, ByVal context As Long) As Long
Declare Function httpLastErrorText Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpLastRequest Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
#End If

' The reply head of this thread's last call, "" when it received none.
Public Function LastHead() As String
    Dim length As Long, buffer As String
    length = httpLastHead(vbNullString, 0)
    If length = 0 Then Exit Function
    buffer = String$(length + 1, vbNullChar)
    httpLastHead buffer, length + 1
    LastHead = Left$(buffer, length)
End Function

' Why this thread's last call failed, in one line; "" when it did not.
Public Function LastErrorText() As String
    Dim length As Long, buffer As String
    length = httpLastErrorText(vbNullString, 0)
    If length = 0 Then Exit Function
    buffer = String$(length + 1, vbNullChar)
    httpLastErrorText buffer, length + 1
    LastErrorText = Left$(buffer, length)
End Function

' The meaning of a result code or error number, "" for one the library does
' not know.
Public Function ResultText(ByVal code As Long) As String
    Dim length As Long, buffer As String
    length = httpResultText(code, vbNullString, 0)
    If length = 0 Then Exit Function
    buffer = String$(length + 1, vbNullChar)
    httpResultText code, buffer, length + 1
    ResultText = Left$(buffer, length)
End Function

' Fetches url into outfile without any message box and tells what came back.
Public Sub FetchQuietly(ByVal url As String, ByVal outfile As String)
    Dim result As Long
    httpSetOption QUODRA_OPTION_MESSAGE_BOXES, 0
    result = httpGet(url, outfile, 0)
    If result <> QUODRA_OK Then
        MsgBox "httpGet failed: " & result & " (" & ResultText(result) & "): " & LastErrorText()
    ElseIf httpLastStatus() <> 200 Then
        MsgBox "The server answered " & httpLastStatus() & ":" & vbCrLf & LastHead()
    End If
End Sub
