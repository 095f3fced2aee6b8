// The program's texts. The sources are UTF-8; the compiler stores these
// literals as code page 932 bytes, the ANSI code page they are shown in.
#pragma once

constexpr char TXT_TITLE[] = "Orvane パッチ";
constexpr char TXT_FAILURE[] = "失敗";
constexpr char TXT_SAVE_QUESTION[] = "セーブデータも消去されますがよろしいですか?";
constexpr char TXT_SAVE_REFUSED[] = "セーブデータを消去しないとパッチをインストールできません";
constexpr char TXT_SUCCESS[] = "正常にアップデートされました。";
constexpr char TXT_NO_TEMP[] = "テンポラリファイルが作成できませんでした";
constexpr char TXT_TEMP_UNWRITABLE[] = "テンポラリに書き込みができません";
constexpr char TXT_ANOTHER_RUN[] =
    "他のパッチが実行中です。そのパッチが終わってから、このパッチをもう一度起動してください。";
constexpr char TXT_INTERNAL_ERROR[] = "内部エラー";
constexpr char TXT_BAD_STEP[] = "変なところに来たぞ?? %d";
constexpr char TXT_CHECKING[] = "パッチファイルを確認しています。しばらくお待ちください。";
constexpr char TXT_README[] = "README.TXT";
constexpr char TXT_TEMP_PREFIX[] = "Ov";
constexpr char TXT_IN_USE[] =
    "%s\r\n\r\nこのファイルは他のプログラムが使用中です。そのプログラムを終了してから「再試行」を押してください。";
constexpr char TXT_WRONG_VERSION[] =
    "%s\r\n\r\nインストールされているファイルが、このパッチの対象のバージョンと異なります。"
    "対象のバージョンにしてから、もう一度このパッチを起動してください。";
