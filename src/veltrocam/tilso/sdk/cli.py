"""The ``veltrocam-license`` command line.

Stores the Veltrocam account as ``VELTROCAM_LICENSE=user:password``, shows it
with the password masked, sets other environment variables, reports where
they are stored and which shells read them, and removes the account again.  Values persist for new shells: through ``setx`` on Windows,
through the store of :mod:`veltrocam.tilso.sdk.script_update` elsewhere.

A password is never taken as a command-line option (the process list shows
those to every user) and never printed in full.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Iterator

import click

from veltrocam.tilso.sdk import __version__
from veltrocam.tilso.sdk.license_helper import get_license_info, set_to_environ
from veltrocam.tilso.sdk.script_update import (
    SOURCES, StoreStatus, remove_from_bash_file, store_status)

__all__ = ["main", "mask"]

LICENSE_VARIABLE = "VELTROCAM_LICENSE"

# What the store and setx raise for bad names or values, a busy lock,
# permission problems and I/O errors (TimeoutError and PermissionError are
# OSErrors; RuntimeError is a missing home folder).
_STORE_ERRORS = (TypeError, ValueError, OSError, RuntimeError)

_SHORT_SECRET = 8


def mask(secret: str) -> str:
    """Return ``secret`` hidden: its first character then asterisks.

    Secrets shorter than 8 characters become asterisks only, so that no
    significant share of them shows.
    """
    if len(secret) < _SHORT_SECRET:
        return "*" * len(secret)
    return secret[0] + "*" * (len(secret) - 1)


def _masked_license(value: str) -> str:
    """Return ``user:password`` with the password masked."""
    user, colon, password = value.partition(":")
    return f"{user}:{mask(password)}" if colon else mask(value)


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


@contextlib.contextmanager
def _captured_stdout() -> Iterator[io.StringIO]:
    """Collect what the native functions print with ``click.echo``."""
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        yield buffer


def _store(variables: str | list[str], value: str, secret: bool) -> None:
    """Call ``set_to_environ`` and report the outcome.

    For a secret the native notice (which quotes the value) is replaced by
    one that shows the value masked.  Errors become one-line ClickExceptions.
    """
    try:
        with _captured_stdout() as output:
            set_to_environ(variables, value)
    except _STORE_ERRORS as error:
        raise click.ClickException(_one_line(error)) from None
    if not secret:
        click.echo(output.getvalue(), nl=False)
        return
    names = [variables] if isinstance(variables, str) else variables
    click.echo(f"{', '.join(names)} set to {_masked_license(value)}")
    click.echo("Open a new terminal to use it there.")


def _checked_user(user: str) -> str:
    if not user:
        raise click.BadParameter("the user name must not be empty")
    if ":" in user:
        raise click.BadParameter("the user name must not contain a colon")
    if not user.isprintable():
        raise click.BadParameter(
            "the user name must not contain control characters")
    return user


def _user_option(ctx: click.Context, param: click.Parameter,
                 user: str | None) -> str | None:
    return None if user is None else _checked_user(user)


def _checked_password(password: str) -> str:
    if not password:
        raise click.BadParameter("the password must not be empty")
    if "\0" in password or "\n" in password or "\r" in password:
        raise click.BadParameter(
            "the password must be one line without NUL characters")
    return password


def _password_from_stdin() -> str:
    """Read the whole of standard input; one trailing line end is dropped."""
    try:
        data = sys.stdin.read()
    except (OSError, UnicodeDecodeError) as error:
        raise click.ClickException(
            f"cannot read the password: {_one_line(error)}") from None
    password = data.removesuffix("\n").removesuffix("\r")
    try:
        return _checked_password(password)
    except click.BadParameter as error:
        raise click.UsageError(
            f"standard input: {error.message}") from None


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(version=__version__)
def main() -> None:
    """Manage the Veltrocam account (VELTROCAM_LICENSE=user:password) and
    environment variables that persist for new shells."""


@main.command()
@click.option("-u", "--user", metavar="NAME", callback=_user_option,
              help="User name; asked for when left out.")
@click.option("--password-stdin", is_flag=True,
              help="Read the password from standard input (needs --user).")
def login(user: str | None, password_stdin: bool) -> None:
    """Store a user name and password as VELTROCAM_LICENSE.

    The password is asked for twice without echo, or read from standard
    input with --password-stdin, e.g.

        printf %s "$PASS" | veltrocam-license login -u NAME --password-stdin

    There is deliberately no password option: other users can see command
    lines in the process list.
    """
    if password_stdin:
        if user is None:
            raise click.UsageError("--password-stdin needs --user")
        password = _password_from_stdin()
    else:
        if user is None:
            user = click.prompt("User", value_proc=_checked_user)
        password = click.prompt("Password", hide_input=True,
                                confirmation_prompt=True,
                                value_proc=_checked_password)
    _store(LICENSE_VARIABLE, f"{user}:{password}", secret=True)


@main.command()
@click.option("--name", metavar="VAR", default=LICENSE_VARIABLE,
              show_default=True, help="Variable holding user:password.")
@click.pass_context
def show(ctx: click.Context, name: str) -> None:
    """Show the user name and the masked password.

    Exits with status 1 when the variable is unset or holds no colon.
    """
    try:
        with _captured_stdout() as output:
            user, password = get_license_info(name)
    except _STORE_ERRORS as error:
        raise click.ClickException(_one_line(error)) from None
    notice = output.getvalue()
    if user is None or password is None:
        click.echo(notice.strip() or f"{name} is not set", err=True)
        ctx.exit(1)
    click.echo(notice, nl=False)
    click.echo(f"user: {user}")
    click.echo(f"password: {mask(password) or '(empty)'}")


@main.command("set")
@click.argument("names", nargs=-1, required=True, metavar="NAME...")
@click.argument("value")
def set_variables(names: tuple[str, ...], value: str) -> None:
    """Set each NAME to VALUE, for new shells and this process.

    Put -- before a VALUE that starts with a dash.  A value given for
    VELTROCAM_LICENSE is reported masked.
    """
    variables = names[0] if len(names) == 1 else list(names)
    _store(variables, value, secret=LICENSE_VARIABLE in names)


@main.command()
def logout() -> None:
    """Remove VELTROCAM_LICENSE from the store and from this process.

    Shells that are already open keep their copy until
    `unset VELTROCAM_LICENSE`.  Not available on Windows, where setx
    cannot delete a variable.
    """
    if sys.platform.startswith("win"):
        raise click.ClickException(
            f"logout is not available on Windows; delete {LICENSE_VARIABLE} "
            "under System Properties > Environment Variables")
    try:
        removed = remove_from_bash_file([LICENSE_VARIABLE])
    except _STORE_ERRORS as error:
        raise click.ClickException(_one_line(error)) from None
    inherited = os.environ.pop(LICENSE_VARIABLE, None) is not None
    if removed:
        click.echo(f"Removed {LICENSE_VARIABLE}; new shells will not see it.")
    else:
        click.echo("No stored credentials to remove.")
        if inherited:
            click.echo(f"{LICENSE_VARIABLE} comes from elsewhere (a start-up "
                       "file or the parent process); remove it there.")


@main.command()
def status() -> None:
    """Show where values are stored and which shells read them.

    Lists the value files (env.sh, env.fish, env.csh and systemd's
    environment.d file) and their modes or what is wrong with them, the
    names stored (never their values; VELTROCAM_LICENSE as the user name and
    the masked password) and any that is refused now, each start-up file,
    your shell, and whether this process has each stored value.  Exits with
    status 1 when a value file cannot be parsed.
    """
    if sys.platform.startswith("win"):
        raise click.ClickException(
            "status is not available on Windows, where values are set with setx")
    try:
        found = store_status()
    except _STORE_ERRORS as error:
        raise click.ClickException(_one_line(error)) from None
    for line in _status_lines(found):
        click.echo(line)


def _status_lines(found: StoreStatus) -> Iterator[str]:
    yield "Value files:"
    for path, mode in found.value_files.items():
        if path in found.problems:
            yield f"  {path}: {found.problems[path]}"
        elif mode is None:
            yield f"  {path}: missing"
        else:
            loose = ", readable by others: the next change sets 0600" if mode & 0o077 else ""
            yield f"  {path}: mode {mode:04o}{loose}"
    yield "Stored names:" if found.values else "Stored names: none"
    stale = False
    for name, value in found.values.items():
        shown = f" ({_masked_license(value)})" if name == LICENSE_VARIABLE else ""
        if name in found.refused:
            yield (f"  {name}: refused now, since {found.refused[name]}; "
                   "only env.sh still holds it: remove it with "
                   f"remove_from_bash_file([{name!r}])")
        elif os.environ.get(name) == value:
            yield f"  {name}{shown}: this process has the stored value"
        else:
            stale = True
            yield f"  {name}{shown}: this process does not have the stored value"
        if name in found.left_out:
            yield f"    {found.left_out[name]}"
    if stale:
        yield "  Open a new terminal to get the stored values."
    yield "Start-up files:"
    for path, state in found.startup_files.items():
        yield f"  {path}: {state}"
    shell = found.shell or "unknown"
    if found.covered:
        yield f"Shell: {shell}, covered: its new sessions read the store"
    elif not found.shell_files:
        yield (f"Shell: {shell}, not covered: it reads none of these files; "
               f"source {next(iter(found.value_files))} yourself")
    else:
        missing = [path for path in found.shell_files
                   if found.startup_files.get(path) != SOURCES]
        yield f"Shell: {shell}, not covered: {', '.join(missing)} must source the store"
