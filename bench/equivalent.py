"""Pure-Python counterpart of ``veltrocam.tilso.sdk.license_helper``.

Every benchmark in this folder compares the native module with this file.
It makes the same calls in the same order as the native functions, reads
the same module globals (``os``, ``re``, ``sys``, ``click`` and
``update_bash_file``) and has the same two safety changes:

- a credentials value without a colon prints a notice and gives
  ``(None, None)`` instead of a user name cut short by one character;
- on Windows every name and the value are checked before the first ``setx``
  command is started.

``(None, None)`` is a constant of the code object, so, as with the native
module, every such result is one and the same tuple.

Load it under a name of your choice with :func:`load` (the benchmarks use
``license_helper_equivalent``), or import it as ``equivalent`` with this
folder on ``sys.path``.
"""

import os
import re
import sys

import click
from veltrocam.tilso.sdk.script_update import update_bash_file

__all__ = ["get_license_info", "set_to_environ", "load"]

_NOTICE_MALFORMED = "当前环境变量 {license_name} 的格式不正确，应为 用户名:密码"
_SETX_REFUSED_VALUE = ("the value holds a character that setx cannot be given safely: "
                       "a double quote, %, CR, LF or NUL")
_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*", re.ASCII)


def get_license_info(license_name="VELTROCAM_LICENSE"):
    """从license获取账户的相关信息"""
    license = os.environ.get(license_name)
    if license:
        colon = license.find(":")
        if colon == -1:
            click.echo(_NOTICE_MALFORMED.format(license_name=license_name))
            return None, None
        user = license[:colon]
        pw = license[license.find(":") + 1:]
        return user, pw
    else:
        click.echo("当前环境未配置用户名和密码")
        return None, None


def _check_setx_arguments(variables, value):
    """Refuse names and a value that setx cannot take through the command shell."""
    for variable_name in variables:
        if not isinstance(variable_name, str):
            raise TypeError("environment variable names must be str, not "
                            + type(variable_name).__name__)
        if _PLAIN_NAME.fullmatch(variable_name) is None:
            raise ValueError(
                "invalid environment variable name %r: use ASCII letters, digits and "
                "underscores, not starting with a digit" % (variable_name,))
    if not isinstance(value, str):
        raise TypeError("the value must be str, not " + type(value).__name__)
    if any(c in value for c in '"%\r\n\0'):
        raise ValueError(_SETX_REFUSED_VALUE)


def set_to_environ(variables, value):
    """将变量设置到环境变量
    :param variable_name: string
    :param value: string
    """
    var_name = "veltrocam license" if variables == "VELTROCAM_LICENSE" else variables
    if not isinstance(variables, list):
        variables = [variables]
    if sys.platform.startswith("win"):
        _check_setx_arguments(variables, value)
        for variable_name in variables:
            os.popen("setx {variable_name} \"{value}\" ".format(variable_name=variable_name,
                                                                value=value))
    else:
        update_bash_file(variables, value)
    for variable_name in variables:
        os.environ[variable_name] = value
    click.echo("当前 {var_name} 已设置为 {value}".format(var_name=var_name, value=value))
    click.echo("请重启当前的 terminal ")


def load(name="license_helper_equivalent"):
    """Load a fresh copy of this file as the module ``name`` (kept in sys.modules)."""
    import importlib.util

    spec = importlib.util.spec_from_file_location(name, __file__)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module
