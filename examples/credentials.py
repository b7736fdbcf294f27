"""Read the Veltrocam account and keep a setting for new shells."""

from veltrocam.tilso.sdk.license_helper import get_license_info, set_to_environ


def account(variable: str = "VELTROCAM_LICENSE") -> tuple[str, str] | None:
    """The (user, password) pair, or None when the variable holds none."""
    user, password = get_license_info(variable)
    if user is None or password is None:
        return None  # get_license_info has printed a notice
    return user, password


if __name__ == "__main__":
    set_to_environ("VELTROCAM_REGION", "eu-west")
    set_to_environ(["VELTROCAM_HOME", "VELTROCAM_CACHE"], "/opt/veltrocam")
    found = account()
    print(f"signed in as {found[0]}" if found else "no account stored")
