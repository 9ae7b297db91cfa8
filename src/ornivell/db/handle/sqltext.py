"""Re-quoting the bare identifiers of an SQL text.

The scanner steps over everything that is not a bare word (literals, quoted
identifiers, comments, bind parameters, casts, numbers) so that only real
identifiers and keywords reach the caller's decision.
"""

import re

_TOKEN = re.compile(
    r"""
    (?P<skip>
        \s+
      | --[^\n]*                                  # line comment
      | /\*.*?(?:\*/|\Z)                          # block comment
      | [eE]'(?:[^'\\]|\\.|'')*(?:'|\Z)           # literal with backslash escapes
      | '(?:[^']|'')*(?:'|\Z)                     # literal
      | "(?:[^"]|"")*(?:"|\Z)                     # quoted identifier
      | `(?:[^`]|``)*(?:`|\Z)                     # quoted identifier, MySQL style
      | \$\$.*?(?:\$\$|\Z)                        # dollar-quoted literal
      | \$(?P<tag>[^\W\d]\w*)\$.*?(?:\$(?P=tag)\$|\Z)
      | ::\s*[^\W\d][\w$]*                        # cast and its type name
      | (?<![:\w\\]):\w+                          # bind parameter
      | \d[\w.]*                                  # number
    )
  | (?P<word>[^\W\d][\w$]*)
    """,
    re.VERBOSE | re.DOTALL,
)

_CALL = re.compile(r"\s*\(")


def requote(sql, needs_quotes, quote):
    """Return ``sql`` with every bare word that ``needs_quotes`` picks quoted.

    ``needs_quotes(word, qualified, call)`` is asked for each bare word:
    ``qualified`` when the word follows a dot (``t.word``), ``call`` when an
    opening bracket follows it (a function name). ``quote(word)`` gives the
    quoted form.
    """

    def replace(match):
        word = match.group("word")
        if word is None:
            return match.group(0)
        start, end = match.span()
        qualified = start > 0 and sql[start - 1] == "."
        call = _CALL.match(sql, end) is not None
        return quote(word) if needs_quotes(word, qualified, call) else word

    return _TOKEN.sub(replace, sql)
