"""Commit, branch and repository of the build, read from the CI system or git.

Each CI system documents the variables it sets for a job; the agent reads
those, and asks `git` in the working directory for whatever they leave out.
A pull or merge request build reports its source branch and the head commit
of that branch, not the synthetic merge ref the runner checked out.

URLs are reduced to what a browser would open: no user name, password or
token (CI systems put job tokens there), no ".git", ssh remotes as https.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
from dataclasses import dataclass, replace
from typing import Callable, Mapping, Optional
from urllib.parse import urlsplit, urlunsplit

Environ = Mapping[str, str]

GIT = "git"


@dataclass(frozen=True)
class Detected:
    """What could be found out; None where nothing was."""

    system: Optional[str] = None
    commit: Optional[str] = None
    branch: Optional[str] = None
    repository: Optional[str] = None
    source_url: Optional[str] = None
    # Why git could not fill the gaps, for the error message that asks for an option.
    git_problem: Optional[str] = None

    def missing(self) -> list[str]:
        return [name for name in ("commit", "branch", "repository", "source_url") if not getattr(self, name)]


def detect(environ: Environ, cwd: str) -> Detected:
    """The CI system's variables first, then git in ``cwd`` for what they do not give."""
    found = detect_ci(environ) or Detected()
    if not found.missing():
        return found
    from_git = detect_git(cwd)
    return replace(
        found,
        system=found.system or (from_git.system if not from_git.git_problem else None),
        commit=found.commit or from_git.commit,
        branch=found.branch or from_git.branch,
        repository=found.repository or from_git.repository,
        source_url=found.source_url or from_git.source_url,
        git_problem=from_git.git_problem,
    )


def detect_ci(environ: Environ) -> Optional[Detected]:
    for reader in _CI_READERS:
        found = reader(environ)
        if found is not None:
            return found
    return None


# One reader per CI system: None when the job does not run there.


def _github_actions(env: Environ) -> Optional[Detected]:
    if env.get("GITHUB_ACTIONS") != "true":
        return None
    # On pull_request events GITHUB_SHA is the merge commit GitHub made; the
    # event payload names the head of the branch that was pushed.
    event = _json_file(env.get("GITHUB_EVENT_PATH"))
    head_sha = _path(event, "pull_request", "head", "sha")
    slug = _value(env, "GITHUB_REPOSITORY")
    server = _value(env, "GITHUB_SERVER_URL") or "https://github.com"
    return Detected(
        system="GitHub Actions",
        commit=head_sha if isinstance(head_sha, str) and head_sha else _value(env, "GITHUB_SHA"),
        # GITHUB_HEAD_REF is set only for pull requests, where GITHUB_REF_NAME is "N/merge".
        branch=_value(env, "GITHUB_HEAD_REF") or _value(env, "GITHUB_REF_NAME"),
        repository=_last_segment(slug),
        source_url=web_url(f"{server.rstrip('/')}/{slug}") if slug else None,
    )


def _gitlab_ci(env: Environ) -> Optional[Detected]:
    if env.get("GITLAB_CI") != "true":
        return None
    project_url = _value(env, "CI_PROJECT_URL")
    if not project_url and _value(env, "CI_SERVER_URL") and _value(env, "CI_PROJECT_PATH"):
        project_url = f"{env['CI_SERVER_URL'].rstrip('/')}/{env['CI_PROJECT_PATH']}"
    return Detected(
        system="GitLab CI",
        # Set only in merged-results pipelines, whose CI_COMMIT_SHA is the merge commit.
        commit=_value(env, "CI_MERGE_REQUEST_SOURCE_BRANCH_SHA") or _value(env, "CI_COMMIT_SHA"),
        branch=_value(env, "CI_MERGE_REQUEST_SOURCE_BRANCH_NAME") or _value(env, "CI_COMMIT_REF_NAME"),
        repository=_value(env, "CI_PROJECT_NAME"),
        source_url=web_url(project_url),
    )


def _jenkins(env: Environ) -> Optional[Detected]:
    if not _value(env, "JENKINS_URL"):
        return None
    branch = _value(env, "CHANGE_BRANCH") or _strip_remote(_value(env, "GIT_BRANCH"))
    if not branch and not _value(env, "CHANGE_ID"):
        # Multibranch jobs name the branch here; for a change request it is "PR-N".
        branch = _value(env, "BRANCH_NAME")
    source_url = web_url(_value(env, "GIT_URL"))
    return Detected(
        system="Jenkins",
        commit=_value(env, "GIT_COMMIT"),
        branch=branch,
        repository=_last_segment(source_url),
        source_url=source_url,
    )


def _azure_pipelines(env: Environ) -> Optional[Detected]:
    if (env.get("TF_BUILD") or "").lower() != "true":
        return None
    # BUILD_SOURCEBRANCHNAME keeps only the last segment of "feature/x"; the
    # full ref keeps the name whole.
    branch = _strip_prefix(_value(env, "SYSTEM_PULLREQUEST_SOURCEBRANCH"), "refs/heads/")
    branch = branch or _strip_prefix(_value(env, "BUILD_SOURCEBRANCH"), "refs/heads/")
    return Detected(
        system="Azure Pipelines",
        # For a pull request BUILD_SOURCEVERSION is the merge commit.
        commit=_value(env, "SYSTEM_PULLREQUEST_SOURCECOMMITID") or _value(env, "BUILD_SOURCEVERSION"),
        branch=branch or _value(env, "BUILD_SOURCEBRANCHNAME"),
        repository=_last_segment(_value(env, "BUILD_REPOSITORY_NAME")),
        source_url=web_url(_value(env, "BUILD_REPOSITORY_URI")),
    )


def _bitbucket_pipelines(env: Environ) -> Optional[Detected]:
    if not (_value(env, "BITBUCKET_BUILD_NUMBER") or _value(env, "BITBUCKET_COMMIT")):
        return None
    return Detected(
        system="Bitbucket Pipelines",
        commit=_value(env, "BITBUCKET_COMMIT"),
        # The source branch in pull-request pipelines too.
        branch=_value(env, "BITBUCKET_BRANCH"),
        repository=_value(env, "BITBUCKET_REPO_SLUG"),
        source_url=web_url(_value(env, "BITBUCKET_GIT_HTTP_ORIGIN")),
    )


def _circleci(env: Environ) -> Optional[Detected]:
    if env.get("CIRCLECI") != "true":
        return None
    return Detected(
        system="CircleCI",
        commit=_value(env, "CIRCLE_SHA1"),
        branch=_value(env, "CIRCLE_BRANCH"),
        repository=_value(env, "CIRCLE_PROJECT_REPONAME"),
        source_url=web_url(_value(env, "CIRCLE_REPOSITORY_URL")),
    )


_CI_READERS: tuple[Callable[[Environ], Optional[Detected]], ...] = (
    _github_actions,
    _gitlab_ci,
    _jenkins,
    _azure_pipelines,
    _bitbucket_pipelines,
    _circleci,
)


# git in the working directory.


def detect_git(cwd: str) -> Detected:
    commit, problem = _git(cwd, "rev-parse", "--verify", "HEAD")
    if commit is None:
        return Detected(git_problem=problem)
    # Nothing on a detached HEAD: a commit is on no branch in particular.
    branch, _ = _git(cwd, "symbolic-ref", "--quiet", "--short", "HEAD")
    origin, _ = _git(cwd, "remote", "get-url", "origin")
    source_url = web_url(origin)
    repository = _last_segment(source_url)
    if repository is None:
        top, _ = _git(cwd, "rev-parse", "--show-toplevel")
        repository = os.path.basename(top) if top else None
    return Detected(system="git", commit=commit, branch=branch, repository=repository, source_url=source_url)


def _git(cwd: str, *args: str) -> tuple[Optional[str], Optional[str]]:
    """The command's output, or None and why there is none."""
    try:
        done = subprocess.run(
            [GIT, *args], cwd=cwd, capture_output=True, text=True, errors="replace", timeout=30,
            stdin=subprocess.DEVNULL,
        )
    except (OSError, subprocess.SubprocessError) as error:
        return None, f"git could not run: {error}"
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines()
        return None, "git: " + (lines[0] if lines else f"exit status {done.returncode}")
    return done.stdout.strip() or None, None


# URLs.

# user@host:path, as git and ssh write a remote without a scheme.
_SCP_LIKE_RE = re.compile(r"\A(?:[^@/:]+@)?(?P<host>[^/:]+):(?!//)(?P<path>.+)\Z")


def web_url(url: Optional[str]) -> Optional[str]:
    """The repository's web address for a clone URL; never with user information."""
    if not url or not url.strip():
        return None
    url = url.strip()
    match = _SCP_LIKE_RE.match(url) if "://" not in url else None
    if match:
        url = f"https://{match['host']}/{match['path'].lstrip('/')}"
    try:
        parts = urlsplit(url)
        parts.hostname  # raises for a malformed authority
    except ValueError:
        return None
    if parts.scheme in ("ssh", "git", "git+ssh", "ssh+git"):
        # The ssh port means nothing to a browser.
        parts = parts._replace(scheme="https", netloc=parts.hostname or "")
    path = parts.path.rstrip("/")
    if path.endswith(".git"):
        path = path[: -len(".git")]
    return urlunsplit((parts.scheme, _without_userinfo(parts.netloc), path, "", ""))


def strip_userinfo(url: str) -> str:
    """``url`` with any "user:password@" taken out of its authority."""
    try:
        parts = urlsplit(url)
    except ValueError:
        # Not a URL urllib can split; still take out anything like "user@".
        return re.sub(r"(?<=://)[^/?#]*@", "", url)
    if "@" not in parts.netloc:
        return url
    return urlunsplit(parts._replace(netloc=_without_userinfo(parts.netloc)))


def _without_userinfo(netloc: str) -> str:
    return netloc.rpartition("@")[2]


# Small readers.


def _value(env: Environ, name: str) -> Optional[str]:
    value = env.get(name, "").strip()
    return value or None


def _strip_prefix(value: Optional[str], prefix: str) -> Optional[str]:
    if value and value.startswith(prefix):
        value = value[len(prefix) :]
    return value or None


def _strip_remote(branch: Optional[str]) -> Optional[str]:
    # The git plugin writes "origin/main" (or "refs/remotes/origin/main").
    branch = _strip_prefix(branch, "refs/remotes/")
    branch = _strip_prefix(branch, "refs/heads/")
    return _strip_prefix(branch, "origin/")


def _last_segment(path_or_url: Optional[str]) -> Optional[str]:
    if not path_or_url:
        return None
    name = path_or_url.rstrip("/").rpartition("/")[2]
    if name.endswith(".git"):
        name = name[: -len(".git")]
    return name or None


def _json_file(path: Optional[str]) -> object:
    if not path:
        return None
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError):
        return None


def _path(value: object, *keys: str) -> object:
    for key in keys:
        if not isinstance(value, dict):
            return None
        value = value.get(key)
    return value
