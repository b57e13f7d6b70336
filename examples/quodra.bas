Attribute VB_Name = "Quodra"
' Declarations of quodra.dll for BASIC-family hosts: every call, the result
' codes and the options, helpers that turn the calls writing into a
' caller's buffer into functions returning a String, and two examples.
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
Public Const QUODRA_TOO_MANY_REDIRECTS As Long = 11
Public Const QUODRA_PROXY_REFUSED As Long = 12  ' httpLastStatus and httpLastHead give the proxy's reply
Public Const QUODRA_HTTP_ERROR As Long = 13
Public Const QUODRA_CANCELLED As Long = 14
Public Const QUODRA_TIME_LIMIT As Long = 15

' Options of httpSetOption.
Public Const QUODRA_OPTION_MESSAGE_BOXES As Long = 1
Public Const QUODRA_OPTION_IDLE_LIMIT As Long = 2
Public Const QUODRA_OPTION_VERIFY_CERTIFICATES As Long = 3  ' 0 is unsafe: any certificate is taken
Public Const QUODRA_OPTION_MAX_REDIRECTS As Long = 4  ' 0 to 20, default 10; 0 follows none
Public Const QUODRA_OPTION_KEEP_UNTIL_COMPLETE As Long = 5  ' the old outfile stays until the new one is whole
Public Const QUODRA_OPTION_FAIL_ON_ERROR As Long = 6        ' a status of 400 or more gives QUODRA_HTTP_ERROR
Public Const QUODRA_OPTION_RESUME As Long = 7               ' httpGet asks for the rest of outfile only
Public Const QUODRA_OPTION_ONLY_IF_NEWER As Long = 8        ' httpGet asks for a file newer than outfile only
Public Const QUODRA_OPTION_TIME_LIMIT As Long = 9  ' seconds the whole call may take; 0: no limit
Public Const QUODRA_OPTION_KEEP_ALIVE As Long = 10          ' HTTP/1.1: this thread's connections kept for its next calls
Public Const QUODRA_IDLE_LIMIT_MAX As Long = 2147483  ' the largest idle limit, in seconds

' Options of httpSetOptionText (this thread's calls; vbNullString or "" clears).
Public Const QUODRA_OPTION_HEADERS As Long = 11  ' "Name: value" lines separated by vbLf or vbCrLf
' Process-wide: "" for none; vbNullString puts back the default (no proxy on Windows).
Public Const QUODRA_OPTION_PROXY As Long = 12     ' "http://[user:password@]host[:port]"
Public Const QUODRA_OPTION_NO_PROXY As Long = 13  ' hosts reached directly: "a.example,10.0.0.0/8"

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

' The calls beside them, ordinals 12 to 17 (11 is the DLL's window
' procedure, which a host never calls).
Declare PtrSafe Function httpLastStatus Lib "quodra.dll" () As Long
Declare PtrSafe Function httpLastHead Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpLastError Lib "quodra.dll" () As Long
Declare PtrSafe Function httpResultText Lib "quodra.dll" (ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpSetOption Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As Long) As Long
Declare PtrSafe Function httpSetOptionText Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As String) As Long
Declare PtrSafe Function httpLastUrl Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long

' The rest of WebDAV, ordinals 19 to 21: properties and locks. davLock takes
' vbNullString as infile for the library's own body (an exclusive write
' lock) and "" for none (a refresh).
Declare PtrSafe Function davProppatch Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare PtrSafe Function davLock Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal depth As Long, ByVal timeout As Long, ByVal visible As Long) As Long
Declare PtrSafe Function davUnlock Lib "quodra.dll" (ByVal url As String, ByVal locktoken As String, ByVal outfile As String, ByVal visible As Long) As Long

' One line of the last call's reply head by name, ordinal 22: the value's
' length, -1 when the head has no such line.
Declare PtrSafe Function httpLastHeader Lib "quodra.dll" (ByVal name As String, ByVal buffer As String, ByVal size As Long) As Long

' Progress with Cancel (see progress.bas), why the last call failed and the
' request it sent, ordinals 23, 24 and 26.
Declare PtrSafe Function httpSetProgress Lib "quodra.dll" (ByVal callback As LongPtr, ByVal context As LongPtr) As Long
Declare PtrSafe Function httpLastErrorText Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpLastRequest Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare PtrSafe Function httpCloseConnections Lib "quodra.dll" () As Long
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

' The calls beside them, ordinals 12 to 18 (11 is the DLL's window
' procedure, which a host never calls).
Declare Function httpLastStatus Lib "quodra.dll" () As Long
Declare Function httpLastHead Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpLastError Lib "quodra.dll" () As Long
Declare Function httpResultText Lib "quodra.dll" (ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpSetOption Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As Long) As Long
Declare Function httpSetOptionText Lib "quodra.dll" (ByVal optionNumber As Long, ByVal value As String) As Long
Declare Function httpLastUrl Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long

' The rest of WebDAV, ordinals 19 to 21: properties and locks. davLock takes
' vbNullString as infile for the library's own body (an exclusive write
' lock) and "" for none (a refresh).
Declare Function davProppatch Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal visible As Long) As Long
Declare Function davLock Lib "quodra.dll" (ByVal url As String, ByVal infile As String, ByVal outfile As String, ByVal depth As Long, ByVal timeout As Long, ByVal visible As Long) As Long
Declare Function davUnlock Lib "quodra.dll" (ByVal url As String, ByVal locktoken As String, ByVal outfile As String, ByVal visible As Long) As Long

' One line of the last call's reply head by name, ordinal 22: the value's
' length, -1 when the head has no such line.
Declare Function httpLastHeader Lib "quodra.dll" (ByVal name As String, ByVal buffer As String, ByVal size As Long) As Long

' Progress with Cancel (see progress.bas), why the last call failed and the
' request it sent, ordinals 23, 24 and 26.
Declare Function httpSetProgress Lib "quodra.dll" (ByVal callback As Long, ByVal context As Long) As Long
Declare Function httpLastErrorText Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
Declare Function httpLastRequest Lib "quodra.dll" (ByVal buffer As String, ByVal size As Long) As Long
' Closes this thread's kept connections (QUODRA_OPTION_KEEP_ALIVE), ordinal
' 25: how many were closed.
Declare Function httpCloseConnections Lib "quodra.dll" () As Long
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

' The URL this thread's last call's reply came from (after its redirects),
' without user or password; "" when there was none.
Public Function LastUrl() As String
    Dim length As Long, buffer As String
    length = httpLastUrl(vbNullString, 0)
    If length = 0 Then Exit Function
    buffer = String$(length + 1, vbNullChar)
    httpLastUrl buffer, length + 1
    LastUrl = Left$(buffer, length)
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

' The value of the last call's reply head line called name (any case), ""
' when the head has none.
Public Function LastHeader(ByVal name As String) As String
    Dim length As Long, buffer As String
    length = httpLastHeader(name, vbNullString, 0)
    If length <= 0 Then Exit Function
    buffer = String$(length + 1, vbNullChar)
    httpLastHeader name, buffer, length + 1
    LastHeader = Left$(buffer, length)
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

' Replaces the file at url with infile under a lock, so that nobody else
' writes it meanwhile: LOCK, PUT with the lock's token in an If line, UNLOCK.
' False when the lock was not granted or a step failed.
Public Function EditUnderLock(ByVal url As String, ByVal infile As String, ByVal outfile As String) As Boolean
    Dim token As String
    httpSetOption QUODRA_OPTION_MESSAGE_BOXES, 0
    ' Depth 0, ten minutes; the library's own body asks for an exclusive write lock.
    If davLock(url, vbNullString, outfile, 0, 600, 0) <> QUODRA_OK Then Exit Function
    token = LastHeader("Lock-Token")
    If httpLastStatus() <> 200 Or token = "" Then Exit Function
    ' The token already has its angle brackets: If: (<urn:uuid:...>)
    httpSetOptionText QUODRA_OPTION_HEADERS, "If: (" & token & ")"
    EditUnderLock = davPut(url, infile, outfile, 0) = QUODRA_OK And httpLastStatus() < 300
    httpSetOptionText QUODRA_OPTION_HEADERS, vbNullString
    If davUnlock(url, token, outfile, 0) <> QUODRA_OK Or httpLastStatus() <> 204 Then EditUnderLock = False
End Function
