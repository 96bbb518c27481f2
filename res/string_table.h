#pragma once
// The string table: every user-visible text of the program, by id. Qt-free, so that the
// command-line client prints the same words as the window.

#include <string>
#include <string_view>
#include <vector>

namespace talvex {

// The text of a string id; empty when the table has no such id.
std::string_view LoadString(unsigned id);
bool HasString(unsigned id);
// Every id in the table, ascending (for checks).
std::vector<unsigned> StringIds();

// printf-style formatting of a table text ("%s", "%d", "%I64d" are understood).
std::string FormatString(unsigned id, ...);

// Texts that have no id in the table.

// Start-up
inline constexpr const char* kTextWindowClassFailed = "Fail to register window class!";
inline constexpr const char* kTextAboutVersion = "Talvex Version 1.0.0.16";

// Main menu popups
inline constexpr const char* kTextMenuFile = "파일";
inline constexpr const char* kTextMenuTools = "도구";

// Upload queue
inline constexpr const char* kTextQueueColumnLocalFile = "로컬파일명";
inline constexpr const char* kTextQueueColumnSize = "파일크기";
inline constexpr const char* kTextQueueColumnStatus = "업로드 상태";
inline constexpr const char* kTextQueueColumnSent = "보낸크기/속도";
inline constexpr const char* kTextQueueWaiting = "대기중";
inline constexpr const char* kTextQueueDone = "업로드 완료";
inline constexpr const char* kTextQueueReadError = "파일 읽기 오류";
inline constexpr const char* kTextQueueSendFailed = "파일 전송 실패";
inline constexpr const char* kTextQueueCancelled = "파일 전송 취소";
// Entries of a folder (or named on the command line) that are no files and cannot be sent.
inline constexpr const char* kTextNotAFile = "일반 파일이 아닙니다";
inline constexpr const char* kTextKindFifo = "FIFO";
inline constexpr const char* kTextKindDevice = "장치";
inline constexpr const char* kTextKindSocket = "소켓";
inline constexpr const char* kTextDanglingLink = "심볼릭 링크가 가리키는 파일이 없습니다";
// A long fail page resent a step at a time ("%1" rows of "%2" so far)
inline constexpr const char* kTextResendProgress = "실패항목 재전송 중 … %1 / %2";
// Outcomes the server's answer or notice did not decide
// Reconnecting on its own after a lost connection ("%1": the attempt's number)
inline constexpr const char* kTextReconnecting = "다시 접속 중 … (%1번째)";
inline constexpr const char* kTextOptionReconnect = "연결이 끊기면 자동으로 다시 접속";
inline constexpr const char* kTextOptionReconnectFor = "다시 접속을 시도하는 시간 (분)";
// "옵션": the dead-path bound (a connection that hears nothing this long counts as lost).
inline constexpr const char* kTextOptionStallTimeout = "연결이 끊긴 것으로 볼 때까지 (초)";
// At a login, when the account's upload journal holds unfinished uploads ("%1": how many)
inline constexpr const char* kTextResumeAsk = "끝나지 않은 업로드 %1개가 있습니다. 다시 보낼까요?";
// The upload journal: it cannot be written from the start, or stopped being written.
inline constexpr const char* kTextJournalCannotWrite = "업로드 기록을 쓸 수 없습니다";
inline constexpr const char* kTextJournalStopped =
    "업로드 기록을 더 이상 쓸 수 없습니다. 업로드는 계속되지만, 중단되면 이어 보낼 수 없습니다";
// The server's copy may now hold bytes of both versions: said, with the mend.
inline constexpr const char* kTextFileChanged =
    "파일이 전송 중에 변경되었습니다 (서버의 사본에 두 내용이 섞였을 수 있습니다. 다시 보내면 바로잡힙니다)";
// A remote name the request cannot carry.
inline constexpr const char* kTextNameNotWritable = "서버의 문자 집합으로 쓸 수 없는 문자가 이름에 있습니다";
inline constexpr const char* kTextBadName = "이름에 보낼 수 없는 제어 문자(줄바꿈, NUL)가 있습니다";
inline constexpr const char* kTextPathTooLong = "경로가 너무 깁니다 (요청 머리글 16,384바이트 초과)";
inline constexpr const char* kTextNoAnswer = "서버가 응답하지 않습니다 (시간 초과)";
inline constexpr const char* kTextUnconfirmed = "서버의 확인이 오지 않았습니다 (시간 초과)";
inline constexpr const char* kTextRefused = "서버가 거부했습니다";
inline constexpr const char* kTextQueueUnknownSize = "???";
inline constexpr const char* kTextSizeBytes = "bytes";

// Option dialog (not reachable from any command)
inline constexpr const char* kTextOptionChannels = "동시 전송 개수";
inline constexpr const char* kTextOptionOne = "한개";
inline constexpr const char* kTextOptionTwo = "두개";
inline constexpr const char* kTextOptionManualSync = "수동동기화";
inline constexpr const char* kTextOptionLimit = "업로드 속도 제한";
inline constexpr const char* kTextOptionNoLimit = "제한 없음";
// Under the limit field while TALVEX_UPLOAD_LIMIT sets the limit of this run: %1 its value.
inline constexpr const char* kTextOptionLimitOverride =
    "이번 실행에는 환경 변수 TALVEX_UPLOAD_LIMIT=%1 KB/s가 적용 중입니다. 위는 저장된 값이며, 바꾸면 저장하고 바로 적용합니다.";
inline constexpr const char* kTextOptionSaveFailed = "설정을 저장하지 못했습니다.";

// Sync-complete dialog template caption
inline constexpr const char* kTextSyncCompleteCaption = "수동 동기화";

// Schedule dialog checks
inline constexpr const char* kTextSchedulePeriodNotPositive = "스케줄 주기는 0보다 커야 합니다.";
inline constexpr const char* kTextScheduleTimeInPast = "설정시각은 현재시각 이후여야 합니다";
inline constexpr const char* kTextScheduleNoSource = "원본 경로를 설정하셔야 합니다";
inline constexpr const char* kTextScheduleNoTarget = "대상 경로를 설정하셔야 합니다";
inline constexpr const char* kTextScheduleNoMovePath = "이동 경로를 설정하셔야 합니다";
// A move folder that is the source folder, lies inside it or holds it: the moved files would be
// uploaded again by the next run.
inline constexpr const char* kTextScheduleMoveOverlapsSource =
    "이동 경로는 원본 경로와 겹치지 않는 폴더여야 합니다.\n"
    "원본 경로와 같은 폴더, 원본 경로 안의 폴더, 원본 경로를 담은 폴더는 쓸 수 없습니다. "
    "옮긴 파일이 다음 스케줄에 다시 업로드되기 때문입니다.";
inline constexpr const char* kTextBrowseFolderTitle = "Select Shared Folder";

// Schedule pane
inline constexpr const char* kTextScheduleInfo = "스케줄 정보";
inline constexpr const char* kTextSchedulePeriod = "스케줄 주기";
inline constexpr const char* kTextScheduleSource = "원본경로";
inline constexpr const char* kTextScheduleTarget = "대상경로";
inline constexpr const char* kTextScheduleMovePath = "이동 경로";
inline constexpr const char* kTextScheduleProgress = "작업 진행 상황";
inline constexpr const char* kTextScheduleStart = "시작";
inline constexpr const char* kTextScheduleStop = "중지";
inline constexpr const char* kTextScheduleColumnStart = "시작시각";
inline constexpr const char* kTextScheduleColumnEnd = "종료시각";
inline constexpr const char* kTextSchedulePerMinutes = "분 주기로";
inline constexpr const char* kTextSchedulePerHours = "시간 주기로";
inline constexpr const char* kTextScheduleNotSet = "스케줄 정보가 설정되지 않았습니다";
// A run whose source folder is not there ("%s": the folder)
inline constexpr const char* kTextScheduleSourceMissing = "원본 경로를 찾을 수 없습니다: %s";
// A run that finds no session to upload through
inline constexpr const char* kTextScheduleSkipOffline = "접속되어 있지 않아 이번 업로드를 건너뜁니다";

// A request the engine would not put on the wire ("%s": the path as given)
inline constexpr const char* kTextRequestTooLong = "요청이 너무 깁니다: %s";
inline constexpr const char* kTextRequestUnwritable = "서버에 보낼 수 없는 문자가 들어 있습니다: %s";

// Local file list type names when the shell knows none
inline constexpr const char* kTextTypeFile = "File";
inline constexpr const char* kTextTypeFileSuffix = "-file";
// The user's home folder, first row of the local pane's volume list
inline constexpr const char* kTextLocalHome = "홈 폴더";

// User manager dialog
inline constexpr const char* kTextManagerRoot = "사용자 계정";
inline constexpr const char* kTextManagerDetails = "상세정보";
inline constexpr const char* kTextManagerName = "이름";
inline constexpr const char* kTextManagerDescription = "설명";
inline constexpr const char* kTextManagerNewFolder = "새폴더";
inline constexpr const char* kTextManagerAdd = "추가";
inline constexpr const char* kTextManagerDelete = "삭제";
inline constexpr const char* kTextManagerConnect = "접속";
inline constexpr const char* kTextManagerSave = "저장";
inline constexpr const char* kTextManagerConfirmAdd = "추가확인";
inline constexpr const char* kTextManagerNoName = "이름을 입력하세요";
// Shown above the account book's own reason when "저장" could not write the file.
inline constexpr const char* kTextManagerSaveFailed = "사용자 계정을 저장하지 못했습니다.";

// DRM pane
inline constexpr const char* kTextDrmKeyFailed = "DRM Key 설치하는데 실패하였습니다";
inline constexpr const char* kTextDrmHeaderFailed = "DRM Header 설치하는데 실패하였습니다";
inline constexpr const char* kTextDrmProtectFailed = "DRM Protect 설치하는데 실패하였습니다";
inline constexpr const char* kTextDrmAuthFailed = "DRM ID or Password가 일치하지 않습니다";
inline constexpr const char* kTextDrmNoFiles = "파일이 없습니다.";
inline constexpr const char* kTextDrmStart = "Start";
inline constexpr const char* kTextDrmStop = "Stop";
inline constexpr const char* kTextDrmAdd = "=>";
inline constexpr const char* kTextDrmBrowse = "...";
inline constexpr const char* kTextDrmWaiting = "대기중";
inline constexpr const char* kTextDrmWorking = "진행중";
inline constexpr const char* kTextDrmSucceeded = "성공";
inline constexpr const char* kTextDrmFailed = "Packing 오류입니다";
inline constexpr const char* kTextDrmNotMedia = "실패 : 동영상 파일이 아닙니다.";
inline constexpr const char* kTextDrmSamePath = "실패 : Input 경로와 output 경로 같습니다.";
inline constexpr const char* kTextDrmLogStart = "<< Packaging Start >>===================================";
inline constexpr const char* kTextDrmLogEnd = "<< Packaging End   >>===================================";
inline constexpr const char* kTextDrmLogSucceeded = "\t==> Packaging 성공";
inline constexpr const char* kTextDrmLogFailed = "\t==> Packaging fail";
inline constexpr const char* kTextDrmLogNotMedia = "\t==> Packaging not media file";
inline constexpr const char* kTextDrmLogSamePath = "\t==> Packaging output root maching";
// After a path: its output took a free name ("name_[n].ext"), followed by the name written.
inline constexpr const char* kTextDrmLogRenamed = "\t==> 같은 이름의 파일이 있어 다른 이름으로 저장했습니다: ";

// DRM lists
inline constexpr const char* kTextDrmColumnTarget = "Packaging Target File";
inline constexpr const char* kTextDrmColumnStatus = "상태";
inline constexpr const char* kTextDrmColumnSize = "크기";
inline constexpr const char* kTextDrmColumnLog = "Log";
inline constexpr const char* kTextDrmColumnTime = "Time";
inline constexpr const char* kTextDrmColumnName = "파일명";
inline constexpr const char* kTextDrmColumnKind = "종류";
inline constexpr const char* kTextDrmColumnFree = "남은크기";
inline constexpr const char* kTextDrmColumnModified = "수정날짜";
inline constexpr const char* kTextDrmMyComputer = "내컴퓨터";
inline constexpr const char* kTextDrmDesktop = "바탕화면";
inline constexpr const char* kTextDrmFolderType = "File Folder";

} // namespace talvex
