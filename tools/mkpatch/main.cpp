// mkpatch: makes, signs, lists, checks and unpacks patches. This file holds
// the command line and its dispatch to the commands (commands.h).
//
//   mkpatch build MANIFEST -o OUT.exe [--stub STUB.exe] [-1|-9] [--threads N] [--elevation admin|user]
//                 [SIGNING]
//   mkpatch sign PATCH.exe -o SIGNED.exe SIGNING
//   mkpatch list PATCH.exe
//   mkpatch verify PATCH.exe [--old DIR]
//   mkpatch extract PATCH.exe DIR [--force] [--old DIR]
//   mkpatch diff OLD_DIR NEW_DIR --dest DEST -o MANIFEST [--question TEXT] [--no-delta]
//
//   mkpatch --version
//
// SIGNING: --cert CERT --key KEY or --pkcs12 FILE, [--pass-file FILE |
// --pass-env NAME] [--description TEXT] [--timestamp URL].
// Exit codes: 0 done, 1 a fault (reported on stderr), 2 a usage error.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <new>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

#include "diag/diag.h"
#include "encode/qzt_encode.h"
#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/error.h"
#include "tools/mkpatch/files.h"

namespace fs = std::filesystem;

namespace {

// mkpatch's version and license, and the program that build uses without
// --stub.
std::string mkpatch_version()
{
    std::string text = "mkpatch " MKPATCH_VERSION "\n"
                       "Copyright 2026 the Orvane patch authors, under the zlib license\n"
                       "program: ";
    try {
        std::string from;
        fs::path stub = mkpatch_find_stub(&from);
        text += file_utf8(stub) + " (from " + from + ")";
    } catch (const mkpatch_error &e) {
        text += e.what();
    }
    return text;
}

// The signing options of build and sign. The password is never an argument:
// command lines are visible to every user of the machine.
void mkpatch_sign_options(CLI::App *cmd, sign_options *o)
{
    CLI::Option_group *group = cmd->add_option_group("Signing");
    CLI::Option *cert =
        group->add_option("--cert", o->cert, "The signing certificate, PEM (with its chain)")->type_name("CERT");
    CLI::Option *key = group->add_option("--key", o->key, "The certificate's private key, PEM")->type_name("KEY");
    cert->needs(key);
    key->needs(cert);
    group->add_option("--pkcs12", o->pkcs12, "The certificate and key in a PKCS#12 file (.pfx, .p12)")
        ->type_name("FILE")
        ->excludes(cert)
        ->excludes(key);
    CLI::Option *pass_file =
        group->add_option("--pass-file", o->pass_file, "The key's password: the first line of FILE")->type_name("FILE");
    group->add_option("--pass-env", o->pass_env, "The key's password: the environment variable NAME")
        ->type_name("NAME")
        ->excludes(pass_file);
    group->add_option("--description", o->description, "The name Windows shows for the signed program (ASCII)")
        ->type_name("TEXT")
        ->capture_default_str();
    group->add_option("--timestamp", o->timestamp, "An RFC 3161 timestamp server's URL (default: no timestamp)")
        ->type_name("URL");
}

// A usage fault of the signing options: the words, or empty when there is none.
std::string mkpatch_sign_usage(const sign_options &o, bool required)
{
    if (sign_wanted(o))
        return "";
    if (required)
        return "sign: give --cert and --key, or --pkcs12";
    if (!o.pass_file.empty() || !o.pass_env.empty() || !o.timestamp.empty() || o.description != SIGN_DESCRIPTION)
        return "build: the signing options need --cert and --key, or --pkcs12";
    return "";
}

}  // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    g_fatal_stderr = 1;
    std::vector<std::string> args = file_args(argc, argv);
    std::vector<const char *> arg_ptrs;
    for (const std::string &a : args)
        arg_ptrs.push_back(a.c_str());

    CLI::App app("Makes, signs, lists, checks and unpacks self-applying patches.", "mkpatch");
    app.require_subcommand(1);
    app.set_version_flag("--version", mkpatch_version,
                         "Print the version, the license and the patch program build would use");
    // On Windows CLI11 would take "/path" for an option; paths start so under Wine.
    app.allow_windows_style_options(false);

    std::string manifest_file, out_file, stub_file, patch_file, dir, old_dir, new_dir, dest, old_tree;
    std::string question = "パッチを適用しますか？";
    bool fast = false, best = false, force = false, no_delta = false;

    CLI::App *build = app.add_subcommand("build", "Make a patch from a manifest.");
    build->add_option("MANIFEST", manifest_file, "The manifest (TOML, UTF-8)")->required();
    build->add_option("-o,--output", out_file, "The patch to write")->required();
    build->add_option("--stub", stub_file,
                      "The patch program to build on (default: the install's, or the build tree's "
                      "build/win32/bin/patch.exe; --version names it)");
    CLI::Option *fast_opt = build->add_flag("-1", fast, "Compress fast");
    build->add_flag("-9", best, "Compress best (the default)")->excludes(fast_opt);
    int threads = g_qzt_threads;
    build
        ->add_option("--threads", threads,
                     "Threads of the best compression (the patch is the same whatever their number)")
        ->check(CLI::Range(1, static_cast<int>(QZT_MAX_THREADS)))
        ->capture_default_str();
    std::string elevation_opt;
    build
        ->add_option("--elevation", elevation_opt,
                     "The rights the patch asks Windows for: admin (requireAdministrator) or user (asInvoker); "
                     "by default user when every destination reads HKEY_CURRENT_USER, else admin")
        ->check(CLI::IsMember({"admin", "user"}));
    sign_options build_sign;
    mkpatch_sign_options(build, &build_sign);

    CLI::App *sign = app.add_subcommand("sign", "Sign a patch with a code-signing certificate (the last step).");
    sign->add_option("PATCH", patch_file, "The patch")->required();
    sign->add_option("-o,--output", out_file, "The signed patch to write")->required();
    sign_options sign_sign;
    mkpatch_sign_options(sign, &sign_sign);

    CLI::App *list = app.add_subcommand("list", "Show a patch's question and entries.");
    list->add_option("PATCH", patch_file, "The patch")->required();

    CLI::App *verify = app.add_subcommand("verify", "Check a patch; exit 1 naming the first fault.");
    verify->add_option("PATCH", patch_file, "The patch")->required();
    verify
        ->add_option("--old", old_tree,
                     "The folder the patch applies to: rebuild each patch entry's file from it and check its CRC-32")
        ->type_name("DIR");

    CLI::App *extract = app.add_subcommand("extract", "Write a patch's files under a folder.");
    extract->add_option("PATCH", patch_file, "The patch")->required();
    extract->add_option("DIR", dir, "The folder to write into (made if missing)")->required();
    extract->add_flag("-f,--force", force, "Overwrite files that exist");
    extract
        ->add_option("--old", old_tree, "The folder the patch applies to, from which patch entries' files are rebuilt")
        ->type_name("DIR");

    CLI::App *diff = app.add_subcommand("diff", "Write the manifest that turns OLD_DIR into NEW_DIR.");
    diff->add_option("OLD_DIR", old_dir, "The tree as the users have it")->required();
    diff->add_option("NEW_DIR", new_dir, "The tree as it is to become")->required();
    diff->add_option("--dest", dest, "Destination of every entry (the folder of the tree's root)")->required();
    diff->add_option("-o,--output", out_file, "The manifest to write")->required();
    diff->add_option("--question", question, "The question the patch asks")->capture_default_str();
    diff->add_flag("--no-delta", no_delta, "Write changed files whole (write entries), not as deltas (patch entries)");

    try {
        app.parse(static_cast<int>(arg_ptrs.size()), arg_ptrs.data());
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    }
    std::string usage = *sign ? mkpatch_sign_usage(sign_sign, true) : mkpatch_sign_usage(build_sign, false);
    if (!usage.empty()) {
        fprintf(stderr, "%s\nRun with --help for more information.\n", usage.c_str());
        return 2;
    }

    g_qzt_threads = threads;
    // CLI11 has checked the name; none when --elevation is not given.
    std::optional<elevation> build_elevation;
    elevation asked;
    if (elevation_parse(elevation_opt, &asked))
        build_elevation = asked;
    // CLI11 has required one subcommand; each runs its command.
    const struct {
        const CLI::App *cmd;
        std::function<int()> run;
    } commands[] = {
        {build,
         [&] {
             return mkpatch_build(manifest_file, out_file, stub_file, fast ? QZT_LEVEL_FAST : QZT_LEVEL_BEST,
                                  build_elevation, build_sign);
         }},
        {sign, [&] { return mkpatch_sign(patch_file, out_file, sign_sign); }},
        {list, [&] { return mkpatch_list(patch_file); }},
        {verify, [&] { return mkpatch_verify(patch_file, old_tree); }},
        {extract, [&] { return mkpatch_extract(patch_file, dir, force, old_tree); }},
        {diff, [&] { return mkpatch_diff(old_dir, new_dir, dest, out_file, question, !no_delta); }},
    };
    try {
        for (const auto &c : commands)
            if (*c.cmd)
                return c.run();
        return 2;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "mkpatch: out of memory%s\n", MKPATCH_LARGER);
        return 1;
    } catch (const std::exception &e) {
        fprintf(stderr, "mkpatch: %s\n", e.what());
        return 1;
    }
}
